#include "core/interpret.h"

#include <vector>

#include "core/base/hex.h"
#include "core/image/publisher.h"

namespace cartscope::core {

// The last 512 bytes of the secure area (0x7E00..0x7FFF) as a known faulty dumping tool leaves
// them: 84 bytes of code and data, then zeros.
const std::array<std::uint32_t, 512> BadDumpPattern = {
    0x40, 0x40, 0x9F, 0xE5, 0x22, 0x06, 0x5F, 0xE3, 0x2C, 0x20, 0x94, 0x35, 0x3C, 0x20,
    0x94, 0x85, 0x7A, 0x7F, 0x8F, 0xE2, 0x85, 0x7E, 0x87, 0x32, 0x00, 0x70, 0x87, 0x22,
    0x77, 0x0F, 0x8F, 0xE2, 0x24, 0x40, 0x9F, 0xE5, 0x24, 0x50, 0x9F, 0xE5, 0x00, 0x30,
    0x90, 0xE5, 0x05, 0x40, 0x24, 0xE0, 0x04, 0x30, 0x23, 0xE0, 0x03, 0x50, 0xA0, 0xE1,
    0x04, 0x30, 0x80, 0xE4, 0x04, 0x20, 0x52, 0xE2, 0xF8, 0xFF, 0xFF, 0x1A, 0x17, 0xFF,
    0x2F, 0xE1, 0x00, 0xFE, 0x7F, 0x02, 0xF2, 0x2F, 0xC8, 0xEC, 0x41, 0x45, 0x21, 0x3F,
    // entries 84..511 are zero
};

namespace {

constexpr std::uint64_t kBytesPerMegabit = 131072;

// Card sizes are powers of two up to 2^272 bytes, far beyond any machine number, so they are
// written from an exact decimal expansion: digits most significant first.
std::string powerOfTwoDigits(unsigned exponent)
{
    std::vector<std::uint8_t> little{1}; // least significant digit first
    for (unsigned i = 0; i < exponent; ++i) {
        unsigned carry = 0;
        for (auto& d : little) {
            const unsigned v = d * 2u + carry;
            d = static_cast<std::uint8_t>(v % 10);
            carry = v / 10;
        }
        if (carry)
            little.push_back(static_cast<std::uint8_t>(carry));
    }
    std::string s;
    for (auto it = little.rbegin(); it != little.rend(); ++it)
        s.push_back(static_cast<char>('0' + *it));
    return s;
}

// The general floating-point form of a whole number given as decimal digits: below 10^15 the
// digits themselves; from 10^15 on, rounded to 15 significant digits and written as
// "d.dddE<exponent>" with trailing zeros (and a bare point) dropped and no exponent sign.
std::string generalFloatForm(const std::string& digits)
{
    constexpr std::size_t kPrecision = 15;
    if (digits.size() <= kPrecision)
        return digits;
    std::size_t exponent = digits.size() - 1;
    std::string mantissa = digits.substr(0, kPrecision);
    if (digits[kPrecision] >= '5') {
        std::size_t i = kPrecision;
        while (i > 0 && mantissa[i - 1] == '9')
            mantissa[--i] = '0';
        if (i == 0) {
            mantissa.insert(mantissa.begin(), '1');
            mantissa.pop_back();
            ++exponent;
        } else {
            ++mantissa[i - 1];
        }
    }
    while (mantissa.size() > 1 && mantissa.back() == '0')
        mantissa.pop_back();
    std::string text(1, mantissa[0]);
    if (mantissa.size() > 1) {
        text.push_back('.');
        text.append(mantissa, 1);
    }
    text.push_back('E');
    text.append(std::to_string(exponent));
    return text;
}

} // namespace

std::string fileSizeText(std::uint64_t bytes)
{
    // 64-bit throughout: an image of 2 GiB or more shows its real size.
    return std::to_string(bytes / kBytesPerMegabit) + "Mbit (" + std::to_string(bytes) + " bytes)";
}

std::string cardSizeText(std::uint8_t capacity)
{
    // 2^d megabits of 2^17 bytes each.
    const unsigned d = capacity;
    return generalFloatForm(powerOfTwoDigits(d)) + "Mbit (" +
           generalFloatForm(powerOfTwoDigits(d + 17)) + " bytes) (" + hex2(capacity) + "h)";
}

bool badDumpFound(const TNDSHeader& header)
{
    return header.BadDataBlock == BadDumpPattern;
}

std::string crcVerdict(std::uint16_t stored, std::uint16_t computed)
{
    return stored == computed ? "OK" : "BAD";
}

std::string crc32Text(std::uint32_t crc)
{
    return hex8(crc);
}

void computeDisplayValues(const TNDSHeader& header, const TNDSBanner& banner,
                          std::optional<std::uint32_t> fileCrc32, DisplayValues& out)
{
    out.IntName = fieldText(header.GameTitle);
    out.FileSize = fileSizeText(header.FileSize);
    out.Serial = header.Serial;
    out.MakerCode = fieldText(header.MakerCode);
    out.MakerName = SearchMakerArray(out.MakerCode);
    out.CardSize = cardSizeText(header.DeviceCapacity);
    out.CRC32 = fileCrc32 ? crc32Text(*fileCrc32) : std::string();
    out.badDumpFound = badDumpFound(header);
    out.BadDumpCode = out.badDumpFound ? kBadDumpFoundText : kBadDumpNotFoundText;
    out.VersionCode = hex2(header.RomVersion);
    out.UnitCode = hex2(header.UnitCode);
    out.DeviceCode = hex2(header.DeviceType);
    out.ExpSecAreaCRC16 = hex4(header.SecureAreaCrc);
    out.ActSecAreaCRC16 = hex4(header.SecureAreaCrcCalc);
    out.SecAreaCheck = crcVerdict(header.SecureAreaCrc, header.SecureAreaCrcCalc);
    out.ExpLogoCRC16 = hex4(header.LogoCrc);
    out.ActLogoCRC16 = hex4(header.LogoCrcCalc);
    out.LogoCheck = crcVerdict(header.LogoCrc, header.LogoCrcCalc);
    out.ExpHeaderCRC16 = hex4(header.HeaderCrc);
    out.ActHeaderCRC16 = hex4(header.HeaderCrcCalc);
    out.HeaderCheck = crcVerdict(header.HeaderCrc, header.HeaderCrcCalc);
    for (std::size_t slot = 0; slot < out.Titles.size(); ++slot)
        out.Titles[slot] = titleText(banner, static_cast<int>(slot));
}

} // namespace cartscope::core
