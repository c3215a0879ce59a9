#include "core/verify/trim.h"

#include <algorithm>
#include <memory>

#include "core/base/error.h"
#include "core/image/header_record.h"

namespace cartscope::core {

namespace {

constexpr std::uint16_t kLogoCrc = 0xCF56; // of the Nintendo logo every card carries
static_assert(kHeaderCrcSpan + 2 == kNotAnImageBelow);
constexpr std::array<std::uint8_t, 4> kDownloadPlayMagic = {0x61, 0x63, 0x01, 0x00}; // "ac"
constexpr std::array<std::uint8_t, 8> kDecryptedMarker = {0xFF, 0xDE, 0xFF, 0xE7,
                                                          0xFF, 0xDE, 0xFF, 0xE7};
static_assert(kTrimHeadSize == 0x4000 + kDecryptedMarker.size());

// OR and AND of every byte: all 0x00 gives OR 0, all 0xFF gives AND 0xFF. Branch-free, so the
// compiler vectorises it.
void accumulate(std::span<const std::uint8_t> bytes, std::uint8_t& orAcc, std::uint8_t& andAcc)
{
    std::uint8_t o = orAcc;
    std::uint8_t a = andAcc;
    for (const std::uint8_t b : bytes) {
        o |= b;
        a &= b;
    }
    orAcc = o;
    andAcc = a;
}

SecureAreaForm secureAreaFormOf(std::span<const std::uint8_t> head, std::uint32_t arm9RomOffset,
                                bool dsi)
{
    if (arm9RomOffset < 0x4000)
        return SecureAreaForm::Homebrew;
    const auto first8 = head.subspan(0x4000, 8);
    if (std::all_of(first8.begin(), first8.end(), [](std::uint8_t b) { return b == 0; }))
        return SecureAreaForm::Multiboot;
    if (std::equal(first8.begin(), first8.end(), kDecryptedMarker.begin()))
        return SecureAreaForm::Decrypted;
    // The DSi header half fills 0x180..0xFFF, so only what follows it says anything there.
    const std::size_t from = dsi ? 0x1000 : 0x200;
    const auto rest = head.subspan(from, 0x4000 - from);
    if (std::any_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b != 0; }))
        return SecureAreaForm::MaskRom;
    return SecureAreaForm::Encrypted;
}

TrimInfo classify(const HeadFacts& facts, std::uint64_t fileSize, bool downloadPlayBlock,
                  std::optional<std::uint8_t> paddingByte, bool paddingClean)
{
    TrimInfo t;
    t.fileSize = fileSize;
    t.downloadPlayBlock = downloadPlayBlock;
    t.usedSize = facts.usedSize + (downloadPlayBlock ? kDownloadPlayBlockSize : 0);
    t.chipSize = facts.chipSize;
    t.paddingClean = paddingClean;
    t.paddingByte = paddingByte;
    const bool missing = t.usedSize > fileSize && t.usedSize - fileSize >= kTrimSlack;
    if (!t.chipSize)
        t.state = missing ? TrimState::OverTrimmed : TrimState::Unknown;
    else if (fileSize > *t.chipSize)
        t.state = TrimState::Oversized;
    else if (fileSize == *t.chipSize)
        t.state = TrimState::Full;
    else if (missing)
        t.state = TrimState::OverTrimmed;
    else
        t.state = TrimState::Trimmed;
    return t;
}

// Padding verdict from the accumulators of the two regions (index 0: the Download Play block's
// room, 1: after it).
void paddingOf(bool block, const std::array<std::uint8_t, 2>& ors,
               const std::array<std::uint8_t, 2>& ands, bool anyAfter,
               std::optional<std::uint8_t>& byte, bool& clean)
{
    const bool all00 = block ? ors[1] == 0 : (ors[0] | ors[1]) == 0;
    const bool allFF = block ? ands[1] == 0xFF : (ands[0] & ands[1]) == 0xFF;
    clean = !anyAfter || all00 || allFF;
    byte.reset();
    if (anyAfter && allFF)
        byte = 0xFF;
    else if (anyAfter && all00)
        byte = 0x00;
}

// The OR and AND of the bytes from `from` to the end, read once in blocks small enough to be
// checked while the processor's cache still holds them (one plain loop: the check costs too
// little beside the read for a second thread to pay). Stops early once the bytes are neither
// all 0x00 nor all 0xFF: the verdict cannot change after that.
void scanUniform(const Stream& image, std::uint64_t from, std::uint8_t& orAcc, std::uint8_t& andAcc)
{
    constexpr std::size_t kBlock = std::size_t{256} << 10;
    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(kBlock);
    const std::uint64_t size = image.size();
    // Bounded by the size: every pass reads at least one byte or throws.
    for (std::uint64_t at = from; at < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at));
        const std::span<std::uint8_t> bytes(block.get(), want);
        if (image.pread(at, bytes) != want)
            throw Error(kStreamReadError); // the file shrank under us
        accumulate(bytes, orAcc, andAcc);
        if (orAcc != 0 && andAcc != 0xFF)
            return;
        at += want;
    }
}

} // namespace

std::optional<std::uint64_t> chipSizeOf(std::uint8_t capacity)
{
    if (capacity > kMaxCapacity)
        return std::nullopt;
    return std::uint64_t{128} * 1024 << capacity;
}

std::uint64_t trimUsedSize(const HeaderRecord& header)
{
    // The DSi used size includes the DSi area; 0 means the field is not filled in.
    if (header.dsi.isDsi && header.dsi.dsiUsedSize != 0)
        return header.dsi.dsiUsedSize;
    return header.ds.TotalUsedRomSize; // the DS area
}

bool opensDownloadPlayBlock(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= kDownloadPlayMagic.size() &&
           std::equal(kDownloadPlayMagic.begin(), kDownloadPlayMagic.end(), bytes.begin());
}

HeadFacts readHeadFacts(const HeaderRecord& header, std::span<const std::uint8_t> head)
{
    const TNDSHeader& ds = header.ds;
    HeadFacts f;
    f.gameCode = ds.GameCode;
    f.unitCode = ds.UnitCode;
    f.capacity = ds.DeviceCapacity;
    f.arm9RomOffset = ds.Arm9RomOffset;
    f.usedSize = trimUsedSize(header);
    f.chipSize = chipSizeOf(f.capacity);
    f.secureAreaForm = secureAreaFormOf(head, f.arm9RomOffset, header.dsi.isDsi);
    const bool headerCrcRight = ds.HeaderCrc == ds.HeaderCrcCalc;
    const bool logoCrcRight = ds.LogoCrc == kLogoCrc;
    f.image = header.available >= kNotAnImageBelow && (headerCrcRight || logoCrcRight);
    return f;
}

const char* trimStateName(TrimState state)
{
    switch (state) {
    case TrimState::Full:
        return "full";
    case TrimState::Trimmed:
        return "trimmed";
    case TrimState::OverTrimmed:
        return "overtrimmed";
    case TrimState::Oversized:
        return "oversized";
    case TrimState::Unknown:
        return "unknown";
    }
    return "";
}

std::string trimText(const TrimInfo& t)
{
    std::string s;
    switch (t.state) {
    case TrimState::Full:
        s = "Full chip size";
        break;
    case TrimState::Trimmed:
        s = "Trimmed";
        break;
    case TrimState::OverTrimmed:
        s = "Over-trimmed: " + std::to_string(t.usedSize - t.fileSize) +
            " bytes of data are missing (bad dump)";
        break;
    case TrimState::Oversized:
        s = "Oversized: larger than the chip";
        break;
    case TrimState::Unknown:
        s = "Trim unknown: the capacity byte names no chip";
        break;
    }
    s += " (" + std::to_string(t.fileSize) + " bytes; used " + std::to_string(t.usedSize) +
         (t.downloadPlayBlock ? " with the Download Play signature" : "") + "; chip " +
         (t.chipSize ? std::to_string(*t.chipSize) : std::string("unknown")) + ")";
    if (t.fileSize > t.usedSize) {
        if (!t.paddingClean)
            s += "; data after the used size";
        else if (t.paddingByte)
            s += *t.paddingByte == 0xFF ? "; padding clean (0xFF)" : "; padding clean (0x00)";
    }
    return s;
}

const char* secureAreaFormName(SecureAreaForm form)
{
    switch (form) {
    case SecureAreaForm::Homebrew:
        return "homebrew";
    case SecureAreaForm::Multiboot:
        return "multiboot";
    case SecureAreaForm::Decrypted:
        return "decrypted";
    case SecureAreaForm::MaskRom:
        return "maskrom";
    case SecureAreaForm::Encrypted:
        return "encrypted";
    }
    return "";
}

std::string secureAreaFormText(SecureAreaForm form)
{
    switch (form) {
    case SecureAreaForm::Homebrew:
        return "Homebrew: no secure area (the ARM9 code starts before 0x4000)";
    case SecureAreaForm::Multiboot:
        return "Multiboot: the secure area is empty";
    case SecureAreaForm::Decrypted:
        return "Decrypted secure area: matches No-Intro's Decrypted DAT, not the Encrypted one";
    case SecureAreaForm::MaskRom:
        return "Mask ROM form: data before the secure area and an unencrypted secure area; "
               "No-Intro's DATs list neither form";
    case SecureAreaForm::Encrypted:
        return "Encrypted secure area (as on the cartridge): matches No-Intro's Encrypted DAT, "
               "not the Decrypted one";
    }
    return "";
}

void TrimSink::consume(std::span<const std::uint8_t> block, std::uint64_t position)
{
    if (!m_headDone) {
        const std::size_t take = std::min(block.size(), kTrimHeadSize - m_head.size());
        m_head.insert(m_head.end(), block.begin(), block.begin() + static_cast<long>(take));
        if (m_head.size() < kTrimHeadSize)
            return;
        m_headDone = true;
        m_facts = readHeadFacts(decodeHeader(RawHeader::fromBytes(m_head)), m_head);
        scan(m_head, 0);
        block = block.subspan(take);
        position += take;
    }
    scan(block, position);
}

void TrimSink::scan(std::span<const std::uint8_t> block, std::uint64_t position)
{
    const std::uint64_t used = m_facts.usedSize;
    const std::uint64_t end = position + block.size();
    if (end <= used)
        return;
    // The 4 signature bytes at the used size, which may straddle blocks.
    for (std::uint64_t p = std::max(position, used); p < end && p < used + 4; ++p)
        m_signature[static_cast<std::size_t>(p - used)] =
            block[static_cast<std::size_t>(p - position)];
    if (position < used + 4 && end > used)
        m_signatureSeen = static_cast<std::size_t>(std::min<std::uint64_t>(end, used + 4) - used);
    const std::uint64_t split = used + kDownloadPlayBlockSize;
    const std::uint64_t a = std::max(position, used);
    const std::uint64_t b = std::min(end, split);
    if (a < b)
        accumulate(
            block.subspan(static_cast<std::size_t>(a - position), static_cast<std::size_t>(b - a)),
            m_or[0], m_and[0]);
    const std::uint64_t c = std::max(position, split);
    if (c < end)
        accumulate(block.subspan(static_cast<std::size_t>(c - position)), m_or[1], m_and[1]);
}

void TrimSink::finish(std::uint64_t total)
{
    if (!m_headDone) {
        std::vector<std::uint8_t> head = m_head;
        head.resize(kTrimHeadSize, 0);
        m_facts = readHeadFacts(decodeHeader(RawHeader::fromBytes(m_head)), head);
        m_headDone = true;
        scan(m_head, 0);
    }
    const bool block = m_signatureSeen == 4 && m_signature == kDownloadPlayMagic;
    const std::uint64_t used = m_facts.usedSize + (block ? kDownloadPlayBlockSize : 0);
    std::optional<std::uint8_t> byte;
    bool clean = true;
    paddingOf(block, m_or, m_and, total > used, byte, clean);
    m_trim = classify(m_facts, total, block, byte, clean);
}

TrimHeadAnalysis analyseTrimHead(const Stream& image, const HeaderRecord& header)
{
    TrimHeadAnalysis out;
    std::vector<std::uint8_t> head(kTrimHeadSize, 0);
    image.pread(0, head);
    out.analysis.head = readHeadFacts(header, head);
    const std::uint64_t size = image.size();
    const std::uint64_t used = out.analysis.head.usedSize;
    std::array<std::uint8_t, 4> magic{};
    const bool block =
        used < size && image.pread(used, magic) == magic.size() && opensDownloadPlayBlock(magic);
    out.paddingFrom = used + (block ? kDownloadPlayBlockSize : 0);
    out.analysis.trim = classify(out.analysis.head, size, block, std::nullopt, true);
    return out;
}

void scanTrimPadding(const Stream& image, TrimHeadAnalysis& head)
{
    const std::uint64_t size = image.size();
    if (head.paddingFrom >= size)
        return;
    std::uint8_t orAcc = 0;
    std::uint8_t andAcc = 0xFF;
    scanUniform(image, head.paddingFrom, orAcc, andAcc);
    std::optional<std::uint8_t> byte;
    bool clean = true;
    // One region only: hand it over as the region after the block.
    paddingOf(true, {0, orAcc}, {0xFF, andAcc}, true, byte, clean);
    const TrimInfo& t = head.analysis.trim;
    head.analysis.trim = classify(head.analysis.head, size, t.downloadPlayBlock, byte, clean);
}

TrimAnalysis analyseTrim(const Stream& image, const HeaderRecord& header)
{
    TrimHeadAnalysis head = analyseTrimHead(image, header);
    scanTrimPadding(image, head);
    return head.analysis;
}

} // namespace cartscope::core
