#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/io/read_pass.h"
#include "core/io/stream.h"

// Whether an image is the whole chip, trimmed or cut short, whether what follows its used data
// is clean padding, and the form of its secure area.
namespace cartscope::core {

// Unknown: the capacity byte names no chip, and the file is not shorter than its used size.
enum class TrimState { Full, Trimmed, OverTrimmed, Oversized, Unknown };
enum class SecureAreaForm { Homebrew, Multiboot, Decrypted, MaskRom, Encrypted };

// The header bytes the analysis reads: everything up to the first 8 bytes of the secure area.
inline constexpr std::size_t kTrimHeadSize = 0x4008;
// The DS Download Play signature block that may follow the used data.
inline constexpr std::size_t kDownloadPlayBlockSize = 0x88;
// A file may end this much before the used size and still count as trimmed: homebrew build
// tools leave the alignment padding of the last file off.
inline constexpr std::uint64_t kTrimSlack = 0x200;
// The largest capacity byte that names a chip (128 KiB << 0x0F is 4 GiB, past any DS or DSi
// card already); above it the chip size is unknown.
inline constexpr std::uint8_t kMaxCapacity = 0x0F;
// A file shorter than this has no whole header (the header CRC-16 at 0x15E is its last field
// checked here).
inline constexpr std::uint64_t kNotAnImageBelow = 0x160;

struct HeaderRecord;

// What the header says, with the secure-area form read from the image's first kTrimHeadSize
// bytes (zero where the image is shorter).
struct HeadFacts {
    std::array<char, 4> gameCode{};
    std::uint8_t unitCode = 0;
    std::uint8_t capacity = 0;
    std::uint32_t arm9RomOffset = 0;
    std::uint64_t usedSize = 0;            // without the Download Play block
    std::optional<std::uint64_t> chipSize; // empty when the capacity byte names no chip
    SecureAreaForm secureAreaForm = SecureAreaForm::Encrypted;
    // Whether the file is a DS image at all: it holds a whole header, and its stored header
    // CRC-16 is right or its stored logo CRC-16 is CF56 (a homebrew loader in place of the logo
    // keeps a right header CRC). Otherwise every fact above is read from bytes of something
    // else.
    bool image = true;
};
// `head`: the image's first kTrimHeadSize bytes, `header` decoded from them.
HeadFacts readHeadFacts(const HeaderRecord& header, std::span<const std::uint8_t> head);

// The used size the analysis cuts at (without the Download Play block): the DS area's, or the
// DSi used size of a DSi image when it is filled in.
std::uint64_t trimUsedSize(const HeaderRecord& header);
// Whether `bytes` (read at the used size) open a Download Play signature block.
bool opensDownloadPlayBlock(std::span<const std::uint8_t> bytes);

// 128 KiB << capacity; empty for a capacity byte above kMaxCapacity.
std::optional<std::uint64_t> chipSizeOf(std::uint8_t capacity);

struct TrimInfo {
    std::uint64_t fileSize = 0;
    std::uint64_t usedSize = 0; // with the Download Play block when present
    std::optional<std::uint64_t> chipSize;
    bool downloadPlayBlock = false;
    TrimState state = TrimState::Full;
    // The bytes after the used size are all 0xFF or all 0x00 (true when there are none).
    bool paddingClean = true;
    std::optional<std::uint8_t> paddingByte; // which, when there are any
};

// "full", "trimmed", "overtrimmed", "oversized", "unknown".
const char* trimStateName(TrimState state);
// One line for people: "Trimmed: 4194816 bytes used of a 16 MiB chip; padding clean (0xFF)".
std::string trimText(const TrimInfo& trim);
// "homebrew", "multiboot", "decrypted", "maskrom", "encrypted".
const char* secureAreaFormName(SecureAreaForm form);
// What the form is and what it means for matching against a DAT.
std::string secureAreaFormText(SecureAreaForm form);

// A read-pass sink that collects the header facts, the Download Play block at the used size
// and the padding state from the same pass as the digests.
class TrimSink final : public ReadSink {
public:
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override;
    void finish(std::uint64_t total) override;

    // Valid after finish.
    const HeadFacts& head() const { return m_facts; }
    const TrimInfo& trim() const { return m_trim; }

private:
    void scan(std::span<const std::uint8_t> block, std::uint64_t position);

    std::vector<std::uint8_t> m_head;
    bool m_headDone = false;
    HeadFacts m_facts;
    std::array<std::uint8_t, 4> m_signature{};
    std::size_t m_signatureSeen = 0;
    // Running OR and AND of the bytes inside the block's room after the used size, and after it.
    std::array<std::uint8_t, 2> m_or{0, 0};
    std::array<std::uint8_t, 2> m_and{0xFF, 0xFF};
    TrimInfo m_trim;
};

// The same result without a whole-file read: given the image's decoded header, only the bytes
// up to the secure area and those after the used size are read (the command line's plain
// `info`, which stays at read speed).
struct TrimAnalysis {
    HeadFacts head;
    TrimInfo trim;
};
TrimAnalysis analyseTrim(const Stream& image, const HeaderRecord& header);

// The same in two steps, for a caller that reads the padding while it does something else: the
// head alone (the verdict as if every byte after the used size were padding), then the bytes
// from `paddingFrom` to the end, which set the padding verdict.
struct TrimHeadAnalysis {
    TrimAnalysis analysis;
    std::uint64_t paddingFrom = 0;
};
TrimHeadAnalysis analyseTrimHead(const Stream& image, const HeaderRecord& header);
void scanTrimPadding(const Stream& image, TrimHeadAnalysis& head);

} // namespace cartscope::core
