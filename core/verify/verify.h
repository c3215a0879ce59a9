#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/checksum/crc32_sink.h"
#include "core/checksum/digest.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"
#include "core/verify/dat.h"
#include "core/verify/trim.h"

// Verifying one image: every hash from one read, the trim and secure-area analysis from the
// same read, and the match against the loaded DATs.
namespace cartscope::core {

// NotAnImage: no entry matches (or no DAT is loaded) and the file is not a DS image.
enum class Verdict { Verified, VerifiedTrimmed, Mismatch, NotInDat, NoDat, Error, NotAnImage };
// "verified", "verified-trimmed", "mismatch", "not-in-dat", "no-dat", "error", "not-an-image".
const char* verdictName(Verdict verdict);

// The digest an entry was matched by, strongest first.
enum class MatchedBy { Sha256, Sha1, Md5, Crc32 };
const char* matchedByName(MatchedBy by);  // "sha256", "sha1", "md5", "crc32"
const char* matchedByLabel(MatchedBy by); // "SHA-256", "SHA-1", "MD5", "CRC-32"

// The largest size a trimmed image is virtually padded to: no DS or DSi card is larger.
inline constexpr std::uint64_t kMaxPaddedSize = std::uint64_t{1} << 30;

struct DatMatch {
    std::uint32_t rom = 0; // index into DatSet::roms()
    MatchedBy by = MatchedBy::Sha1;
    std::optional<std::uint8_t> padding; // the padding byte when matched as a trimmed dump
    std::uint64_t paddedSize = 0;        // the size matched (the image size when not padded)
};

// An entry that agrees with the image on one digest (and maybe its size) but not on another or
// not on the size: a collision or a bad DAT entry.
struct DatMismatch {
    std::uint32_t rom = 0;
    MatchedBy agrees = MatchedBy::Crc32; // the weakest digest that agrees
    // The strongest digest that differs, the size agreeing; none: the size differs.
    std::optional<MatchedBy> differs;
    std::optional<std::uint8_t> padding;
    std::uint64_t paddedSize = 0;
};

struct ImageHashes {
    std::uint32_t crc32 = 0;
    std::array<std::optional<DigestBytes>, kDigestKindCount> digests; // computed ones only

    const std::optional<DigestBytes>& digest(DigestKind kind) const
    {
        return digests[static_cast<std::size_t>(kind)];
    }
};

// The hashes in the order every output lists them: the key the JSON and CSV give each, the
// label the texts give it, and its digest (none: the CRC-32).
struct HashField {
    const char* key;
    const char* label;
    std::optional<DigestKind> digest;
};
inline constexpr std::array<HashField, 4> kHashFields = {{
    {"crc32", "CRC-32", std::nullopt},
    {"md5", "MD5", DigestKind::Md5},
    {"sha1", "SHA-1", DigestKind::Sha1},
    {"sha256", "SHA-256", DigestKind::Sha256},
}};
// The hash in lower-case hex; nullopt for a digest that was not computed.
std::optional<std::string> hashHex(const ImageHashes& hashes, const HashField& field);

struct VerifyResult {
    std::uint64_t size = 0;
    ImageHashes hashes;
    HeadFacts head;
    TrimInfo trim;
    Verdict verdict = Verdict::NoDat;
    std::vector<DatMatch> matches; // load order; the first is the match
    std::optional<DatMismatch> mismatch;
    // Whether the match's DAT serial names the header's game code; empty when there is no
    // match or the entry has no serial.
    std::optional<bool> serialMatches;
};

// The digests a pass must compute: SHA-1 always (with the CRC-32 it is what matching uses),
// MD5 or SHA-256 only for a DAT entry without a SHA-1 that the image could match by size, and
// all three when `allHashes`.
DigestSelection digestsFor(const DatSet& dats, std::uint64_t imageSize, bool allHashes);

// The sinks of one verification pass and, once the pass has finished, the verdict.
class ImageVerifier {
public:
    // `expectedSize` is the size the source announces (it only steers which digests are
    // computed; the result uses the bytes actually read). `threaded`: the digests on their own
    // threads (one image at a time) or on the reading thread (several images at once).
    ImageVerifier(const DatSet& dats, std::uint64_t expectedSize, bool allHashes,
                  bool threaded = true);

    std::span<ReadSink* const> sinks() { return m_sinks; }

    // Hashes, trim, form and the match. Padding a trimmed image costs up to its chip size in
    // digest work; `cancelled` is asked between padding steps and, when it says true, the
    // result is nullopt.
    std::optional<VerifyResult> result(const std::function<bool()>& cancelled = {}) const;
    // The same against other DATs (a DAT added after the image was read); `dats` must be the
    // DATs given at construction or hold every digest they needed (all hashes were computed).
    std::optional<VerifyResult> resultAgainst(const DatSet& dats,
                                              const std::function<bool()>& cancelled = {}) const;

private:
    const DatSet& m_dats;
    Crc32Sink m_crc;
    DigestSink m_digests;
    TrimSink m_trim;
    std::array<ReadSink*, 3> m_sinks;
};

// The whole pass over a stream; nullopt when `onProgress` stopped it.
std::optional<VerifyResult>
verifyStream(const Stream& image, const DatSet& dats, bool allHashes,
             const std::function<bool(std::uint64_t done, std::uint64_t total)>& onProgress = {});

// Whether a DAT serial ("NTR-AMCE-USA") holds the game code as one of its parts, split at "-",
// spaces and commas.
bool serialHasGameCode(const std::string& serial, const std::string& gameCode);
// The game code up to its first NUL.
std::string gameCodeText(const HeadFacts& head);

} // namespace cartscope::core
