// The cartridge header layout, read and written in one place. Each table below names a field's
// offset once; the decoder and the encoder walk the same tables, so they cannot disagree.
#include "core/image/header_record.h"

#include <span>

#include "core/base/le.h"
#include "core/checksum/crc16.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kDsHeaderSize = 0x200;
constexpr std::uint8_t kDsiUnitBit = 0x02;
constexpr std::size_t kUnitCodeAt = 0x012;
constexpr std::size_t kLogoCrcAt = 0x15C;
constexpr std::size_t kHeaderCrcAt = 0x15E;
static_assert(kLogoOffset + kLogoSize == kLogoCrcAt && kHeaderCrcAt == kHeaderCrcSpan);

template <typename Record, typename Value> struct Field {
    std::size_t at;
    Value Record::*member;
};

// The DS half's numbers.
constexpr std::array<Field<TNDSHeader, std::uint8_t>, 5> kDsBytes = {{
    {0x013, &TNDSHeader::DeviceType},
    {0x014, &TNDSHeader::DeviceCapacity}, // card size exponent
    {0x01E, &TNDSHeader::RomVersion},
    {0x01F, &TNDSHeader::AutostartFlags},
    {kUnitCodeAt, &TNDSHeader::UnitCode},
}};
constexpr std::array<Field<TNDSHeader, std::uint16_t>, 4> kDsHalfwords = {{
    {0x06C, &TNDSHeader::SecureAreaCrc}, // as stored
    {0x06E, &TNDSHeader::SecureAreaDelay},
    {kLogoCrcAt, &TNDSHeader::LogoCrc},     // as stored
    {kHeaderCrcAt, &TNDSHeader::HeaderCrc}, // as stored
}};
constexpr std::array<Field<TNDSHeader, std::uint32_t>, 21> kDsWords = {{
    {0x020, &TNDSHeader::Arm9RomOffset},     {0x024, &TNDSHeader::Arm9EntryAddress},
    {0x028, &TNDSHeader::Arm9RamAddress},    {0x02C, &TNDSHeader::Arm9Size},
    {0x030, &TNDSHeader::Arm7RomOffset},     {0x034, &TNDSHeader::Arm7EntryAddress},
    {0x038, &TNDSHeader::Arm7RamAddress},    {0x03C, &TNDSHeader::Arm7Size},
    {0x040, &TNDSHeader::FntOffset},         {0x044, &TNDSHeader::FntSize},
    {0x048, &TNDSHeader::FatOffset},         {0x04C, &TNDSHeader::FatSize},
    {0x050, &TNDSHeader::Arm9OverlayOffset}, {0x054, &TNDSHeader::Arm9OverlaySize},
    {0x058, &TNDSHeader::Arm7OverlayOffset}, {0x05C, &TNDSHeader::Arm7OverlaySize},
    {0x068, &TNDSHeader::BannerOffset},      {0x070, &TNDSHeader::Arm9AutoloadHook},
    {0x074, &TNDSHeader::Arm7AutoloadHook},  {0x080, &TNDSHeader::TotalUsedRomSize},
    {0x084, &TNDSHeader::HeaderSize},
}};
constexpr std::size_t kRomControlAt = 0x060; // bus settings, one 64-bit number

// The DSi half's words.
constexpr std::array<Field<DsiInfo, std::uint32_t>, 13> kDsiWords = {{
    {0x1B0, &DsiInfo::regionFlags},
    {0x1C0, &DsiInfo::arm9iRomOffset},
    {0x1C8, &DsiInfo::arm9iLoadAddress},
    {0x1CC, &DsiInfo::arm9iSize},
    {0x1D0, &DsiInfo::arm7iRomOffset},
    {0x1D8, &DsiInfo::arm7iLoadAddress},
    {0x1DC, &DsiInfo::arm7iSize},
    {0x208, &DsiInfo::bannerSize},  // banner (icon/title) size
    {0x210, &DsiInfo::dsiUsedSize}, // total used ROM size including the DSi area
    {0x230, &DsiInfo::titleIdLow},
    {0x234, &DsiInfo::titleIdHigh}, // the file type
    {0x238, &DsiInfo::publicSaveSize},
    {0x23C, &DsiInfo::privateSaveSize},
}};
constexpr std::size_t kTwlFlagsAt = 0x1BF;
constexpr std::size_t kModcryptAt = 0x220; // two areas of offset and size
constexpr std::size_t kAgeRatingsAt = 0x2F0;

// 0x2F0: one byte per rating board, in the reference's order; the unnamed bytes are reserved.
constexpr std::array<const char*, 16> kRatingBoards = {
    "CERO (Japan)",      "ESRB (US/Canada)",  "Reserved",        "USK (Germany)",
    "PEGI (Pan-Europe)", "Reserved",          "PEGI (Portugal)", "PEGI and BBFC (UK)",
    "AGCB (Australia)",  "GRB (South Korea)", "Reserved",        "Reserved",
    "Reserved",          "Reserved",          "Reserved",        "Reserved"};

struct SignatureField {
    const char* name;
    const char* key;
    std::uint32_t at;
};
constexpr std::size_t kHmacSize = 20;
constexpr std::array<SignatureField, 9> kHmacFields = {{
    {"ARM9 HMAC (with secure area)", "arm9", 0x300},
    {"ARM7 HMAC", "arm7", 0x314},
    {"Digest master HMAC", "digestMaster", 0x328},
    {"Banner HMAC", "banner", 0x33C},
    {"ARM9i HMAC (decrypted)", "arm9i", 0x350},
    {"ARM7i HMAC (decrypted)", "arm7i", 0x364},
    {"NDS whitelist phase 1 HMAC", "whitelistPhase1", 0x378},
    {"NDS whitelist phase 2 HMAC", "whitelistPhase2", 0x38C},
    {"ARM9 HMAC (without secure area)", "arm9NoSecureArea", 0x3A0},
}};
constexpr std::size_t kRsaAt = 0xF80;
constexpr std::size_t kRsaSize = 0x80;
static_assert(kRsaAt + kRsaSize == kRawHeaderSize && kDsiHeaderSize == kRawHeaderSize);
static_assert(kHmacFields.back().at + kHmacSize <= 0x3B4);

// The character and byte runs of the DS half, copied as they are.
template <typename Visit> void forEachRun(TNDSHeader& h, Visit&& visit)
{
    visit(0x000, std::as_writable_bytes(std::span(h.GameTitle)));
    visit(0x00C, std::as_writable_bytes(std::span(h.GameCode)));
    visit(0x010, std::as_writable_bytes(std::span(h.MakerCode)));
    visit(0x015, std::as_writable_bytes(std::span(h.Reserved1)));
    visit(0x078, std::as_writable_bytes(std::span(h.SecureAreaDisableLo)));
    visit(0x07C, std::as_writable_bytes(std::span(h.SecureAreaDisableHi)));
    visit(0x088, std::as_writable_bytes(std::span(h.Reserved2)));
    visit(kLogoOffset, std::as_writable_bytes(std::span(h.Logo)));
}

bool anyNonZero(std::span<const std::uint8_t> bytes)
{
    for (std::uint8_t b : bytes)
        if (b != 0)
            return true;
    return false;
}

void decodeDsHalf(std::span<const std::uint8_t> b, TNDSHeader& h)
{
    forEachRun(h, [b](std::size_t at, std::span<std::byte> run) {
        for (std::size_t i = 0; i < run.size(); ++i)
            run[i] = static_cast<std::byte>(b[at + i]);
    });
    for (const auto& f : kDsBytes)
        h.*f.member = b[f.at];
    for (const auto& f : kDsHalfwords)
        h.*f.member = le16(b, f.at);
    for (const auto& f : kDsWords)
        h.*f.member = le32(b, f.at);
    h.RomControl = le64(b, kRomControlAt);
    h.Serial = SerialFromGameCode(h.GameCode);
    h.LogoCrcCalc = crc16::Crc16OfStream(b.subspan(kLogoOffset, kLogoSize));
    h.HeaderCrcCalc = crc16::Crc16OfStream(b.first(kHeaderCrcSpan));
}

void decodeDsiHalf(std::span<const std::uint8_t> b, DsiInfo& d)
{
    d.unitCode = b[kUnitCodeAt];
    d.isDsi = (d.unitCode & kDsiUnitBit) != 0;
    d.twlFlags = b[kTwlFlagsAt];
    for (const auto& f : kDsiWords)
        d.*f.member = le32(b, f.at);
    for (std::size_t i = 0; i < d.modcrypt.size(); ++i)
        d.modcrypt[i] = {le32(b, kModcryptAt + 8 * i), le32(b, kModcryptAt + 8 * i + 4)};
    for (std::size_t i = 0; i < d.ageRatings.size(); ++i) {
        AgeRating& r = d.ageRatings[i];
        r.board = kRatingBoards[i];
        r.raw = b[kAgeRatingsAt + i];
        r.present = (r.raw & 0x80) != 0;
        r.prohibited = (r.raw & 0x40) != 0;
        r.age = r.raw & 0x1F;
    }
    // The signatures are only looked at, never decoded: they stay in the kept bytes.
    d.hmacs.clear();
    for (const SignatureField& f : kHmacFields)
        d.hmacs.push_back({f.name, f.key, f.at, anyNonZero(b.subspan(f.at, kHmacSize))});
    d.rsaPresent = anyNonZero(b.subspan(kRsaAt, kRsaSize));
}

} // namespace

HeaderRecord decodeHeader(const RawHeader& raw)
{
    HeaderRecord header;
    const std::span<const std::uint8_t> b(raw.m_bytes);
    decodeDsHalf(b, header.ds);
    decodeDsiHalf(b, header.dsi);
    header.available = raw.available();
    header.kept.m_bytes = raw.m_bytes;
    return header;
}

std::size_t headerBlockSize(const HeaderRecord& header)
{
    return (header.ds.UnitCode & kDsiUnitBit) != 0 ? kRawHeaderSize : kDsHeaderSize;
}

std::vector<std::uint8_t> encodeHeader(const HeaderRecord& header)
{
    std::array<std::uint8_t, kRawHeaderSize> block = header.kept.m_bytes;
    const std::span<std::uint8_t> b(block);
    TNDSHeader ds = header.ds; // forEachRun hands out writable runs
    forEachRun(ds, [b](std::size_t at, std::span<std::byte> run) {
        for (std::size_t i = 0; i < run.size(); ++i)
            b[at + i] = static_cast<std::uint8_t>(run[i]);
    });
    for (const auto& f : kDsBytes)
        b[f.at] = ds.*f.member;
    for (const auto& f : kDsHalfwords)
        putLe16(b, f.at, ds.*f.member);
    for (const auto& f : kDsWords)
        putLe32(b, f.at, ds.*f.member);
    putLe64(b, kRomControlAt, ds.RomControl);

    const DsiInfo& d = header.dsi;
    b[kTwlFlagsAt] = d.twlFlags;
    for (const auto& f : kDsiWords)
        putLe32(b, f.at, d.*f.member);
    for (std::size_t i = 0; i < d.modcrypt.size(); ++i) {
        putLe32(b, kModcryptAt + 8 * i, d.modcrypt[i].offset);
        putLe32(b, kModcryptAt + 8 * i + 4, d.modcrypt[i].size);
    }
    for (std::size_t i = 0; i < d.ageRatings.size(); ++i)
        b[kAgeRatingsAt + i] = d.ageRatings[i].raw;
    return {block.begin(), block.begin() + static_cast<std::ptrdiff_t>(headerBlockSize(header))};
}

} // namespace cartscope::core
