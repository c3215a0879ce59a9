#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/digest.h"

// Logiqx XML DATs (the preservation databases' format): loaded, checked and indexed by every
// digest they carry.
namespace cartscope::core {

// The largest DAT accepted, plain or unpacked from an archive. The biggest real ones are tens of
// megabytes.
inline constexpr std::uint64_t kMaxDatSize = std::uint64_t{256} << 20;
// The largest ROM size a DAT entry may declare; anything above is an absurd size.
inline constexpr std::uint64_t kMaxDatRomSize = std::uint64_t{1} << 40;

struct DatInfo {
    std::string file;    // where it was loaded from (for messages)
    std::string name;    // <header><name>
    std::string version; // <header><version>
};

// One <rom> of one <game>. Digests are raw bytes, empty when the attribute is absent.
struct DatRom {
    std::size_t dat = 0; // index into DatSet::dats()
    std::string game;
    std::string rom;
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc32;
    DigestBytes md5, sha1, sha256;
    std::string serial;
    std::string status;

    bool has(DigestKind kind) const;
    const DigestBytes& digest(DigestKind kind) const;
};

// Every loaded DAT, in load order, with one index per digest.
class DatSet {
public:
    // Parses one DAT held in memory. `file` names it in errors ("DAT "%s" line %d: ..."). Throws
    // Error for bad XML, a DOCTYPE that declares entities, a document that is not a Logiqx
    // datafile, bad hex or an absurd size, naming the line. Nothing is added on failure.
    // `cancelled`, when set, is asked every few thousand entries; once it says true the parse
    // stops by the same road (an Error, nothing added).
    void addXml(const std::string& file, std::span<const char> xml,
                const std::function<bool()>& cancelled = {});

    bool empty() const { return m_dats.empty(); }
    const std::vector<DatInfo>& dats() const { return m_dats; }
    const std::vector<DatRom>& roms() const { return m_roms; }

    // Entries carrying exactly this digest / this size and CRC-32, in load order.
    const std::vector<std::uint32_t>& byDigest(DigestKind kind, const DigestBytes& value) const;
    const std::vector<std::uint32_t>& bySizeCrc(std::uint64_t size, std::uint32_t crc) const;

    // Entries without a SHA-1 (matched by another digest); in No-Intro's DATs there are none.
    const std::vector<std::uint32_t>& withoutSha1() const { return m_withoutSha1; }
    // Every distinct entry size, ascending (the sizes a trimmed image may be padded to).
    const std::vector<std::uint64_t>& sizes() const { return m_sizes; }
    // Entries of exactly this size, in load order.
    const std::vector<std::uint32_t>& bySize(std::uint64_t size) const;

private:
    using Index = std::unordered_map<std::string, std::vector<std::uint32_t>>;
    std::vector<DatInfo> m_dats;
    std::vector<DatRom> m_roms;
    std::array<Index, kDigestKindCount> m_byDigest;
    Index m_bySizeCrc;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> m_bySize;
    std::vector<std::uint32_t> m_withoutSha1;
    std::vector<std::uint64_t> m_sizes;
};

} // namespace cartscope::core
