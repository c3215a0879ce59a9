#include "core/header.h"

#include <span>
#include <vector>

#include "core/crc16.h"
#include "core/error.h"
#include "core/hex.h"
#include "core/le.h"

namespace cartscope::core {

namespace {

// The fields this reader decodes all lie in the first 0x160 bytes.
constexpr std::size_t kHeaderFieldsSize = 0x160;
constexpr std::size_t kHeaderCrcCopySize = 350;
static_assert(kHeaderCrcCopySize == kHeaderCrcSpan);
static_assert(kLogoOffset + kLogoSize == 0x15C);
static_assert(kSecureAreaOffset + kSecureAreaSize == kMinImageSize);
static_assert(kBadDataBlockOffset + kBadDataBlockSize == kMinImageSize);

template <std::size_t N>
void copyRaw(std::span<const std::uint8_t> from, std::size_t at, std::array<char, N>& to)
{
    for (std::size_t i = 0; i < N; ++i)
        to[i] = static_cast<char>(from[at + i]);
}

template <std::size_t N>
void copyRaw(std::span<const std::uint8_t> from, std::size_t at, std::array<std::uint8_t, N>& to)
{
    for (std::size_t i = 0; i < N; ++i)
        to[i] = from[at + i];
}

} // namespace

std::string SerialFromGameCode(const std::array<char, 4>& gameCode)
{
    struct Region {
        char letter;
        const char* suffix;
    };
    // Compared exactly: a lower-case letter is not a region. D and F both mean German.
    static constexpr std::array<Region, 11> kRegions = {{{'C', "-CHN"},
                                                         {'D', "-NOE"},
                                                         {'E', "-USA"},
                                                         {'F', "-NOE"},
                                                         {'H', "-HOL"},
                                                         {'I', "-ITA"},
                                                         {'J', "-JPN"},
                                                         {'K', "-KOR"},
                                                         {'P', "-EUR"},
                                                         {'S', "-SPA"},
                                                         {'X', "-EUU"}}};
    const std::string code = fieldText(gameCode);
    std::string suffix = "-???";
    // A code cut short by a NUL has no fourth character and keeps "-???".
    if (code.size() == 4) {
        for (const Region& region : kRegions) {
            if (code[3] == region.letter)
                suffix = region.suffix;
        }
    }
    return "NTR-" + code + suffix;
}

void PopulateNDSHeader(Stream& image, TNDSHeader& header)
{
    // Plain fields tolerate a short read at the end of the image: bytes not delivered read as
    // zero. The three CRC copies below need their full byte count.
    std::array<std::uint8_t, kHeaderFieldsSize> raw{};
    const std::size_t got = image.readAt(0, raw);
    const std::span<const std::uint8_t> b(raw);

    copyRaw(b, 0x000, header.GameTitle); // 0x000 game title
    copyRaw(b, 0x00C, header.GameCode);  // 0x00C game code
    header.Serial = SerialFromGameCode(header.GameCode);
    copyRaw(b, 0x010, header.MakerCode); // 0x010 maker code
    header.UnitCode = b[0x012];          // 0x012 unit code
    header.DeviceType = b[0x013];        // 0x013 device type
    header.DeviceCapacity = b[0x014];    // 0x014 card size exponent
    copyRaw(b, 0x015, header.Reserved1); // 0x015 reserved, 9 bytes
    header.RomVersion = b[0x01E];        // 0x01E ROM version
    header.AutostartFlags = b[0x01F];    // 0x01F autostart flags
    header.Arm9RomOffset = le32(b, 0x020);
    header.Arm9EntryAddress = le32(b, 0x024);
    header.Arm9RamAddress = le32(b, 0x028);
    header.Arm9Size = le32(b, 0x02C);
    header.Arm7RomOffset = le32(b, 0x030);
    header.Arm7EntryAddress = le32(b, 0x034);
    header.Arm7RamAddress = le32(b, 0x038);
    header.Arm7Size = le32(b, 0x03C);
    header.FntOffset = le32(b, 0x040);
    header.FntSize = le32(b, 0x044);
    header.FatOffset = le32(b, 0x048);
    header.FatSize = le32(b, 0x04C);
    header.Arm9OverlayOffset = le32(b, 0x050);
    header.Arm9OverlaySize = le32(b, 0x054);
    header.Arm7OverlayOffset = le32(b, 0x058);
    header.Arm7OverlaySize = le32(b, 0x05C);
    header.RomControl = le64(b, 0x060);       // 0x060 bus settings, one 64-bit number
    header.BannerOffset = le32(b, 0x068);     // 0x068 banner offset
    header.SecureAreaCrc = le16(b, 0x06C);    // 0x06C secure area CRC-16 as stored
    header.SecureAreaDelay = le16(b, 0x06E);  // 0x06E secure area delay
    header.Arm9AutoloadHook = le32(b, 0x070); // 0x070
    header.Arm7AutoloadHook = le32(b, 0x074); // 0x074
    copyRaw(b, 0x078, header.SecureAreaDisableLo);
    copyRaw(b, 0x07C, header.SecureAreaDisableHi);
    header.TotalUsedRomSize = le32(b, 0x080); // 0x080
    header.HeaderSize = le32(b, 0x084);       // 0x084
    copyRaw(b, 0x088, header.Reserved2);      // 0x088 reserved, 56 bytes
    copyRaw(b, kLogoOffset, header.Logo);     // 0x0C0 boot logo, 156 bytes

    // The logo copy (0x0C0..0x15B) must be complete.
    if (got < kLogoOffset + kLogoSize)
        throw Error(kStreamReadError);
    header.LogoCrcCalc = crc16::Crc16OfStream(b.subspan(kLogoOffset, kLogoSize));

    header.LogoCrc = le16(b, 0x15C);   // 0x15C logo CRC-16 as stored
    header.HeaderCrc = le16(b, 0x15E); // 0x15E header CRC-16 as stored

    // The header copy (0x000..0x15D) must be complete.
    if (got < kHeaderCrcCopySize)
        throw Error(kStreamReadError);
    header.HeaderCrcCalc = crc16::Crc16OfStream(b.first(kHeaderCrcCopySize));

    std::vector<std::uint8_t> secure(kSecureAreaSize);
    image.seek(kSecureAreaOffset);
    image.readExact(secure);
    header.SecureAreaCrcCalc = crc16::Crc16OfStream(secure);

    header.FileSize = image.size();

    // 0x7E00..0x7FFF, one entry per byte; a short read leaves the rest zero (it cannot be short
    // once the secure-area copy above succeeded).
    std::array<std::uint8_t, kBadDataBlockSize> block{};
    image.readAt(kBadDataBlockOffset, block);
    for (std::size_t i = 0; i < kBadDataBlockSize; ++i)
        header.BadDataBlock[i] = block[i];
}

std::uint64_t headerOffsetPosition(std::uint32_t field)
{
    if (field >= 0x80000000u)
        return kPastEnd;
    return field;
}

} // namespace cartscope::core
