#include "core/interpret.h"

#include <vector>

#include "core/base/hex.h"
#include "core/base/text.h"
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
// "d.dddE<exponent>" (the point given) with trailing zeros (and a bare point) dropped and no
// exponent sign.
std::string generalFloatForm(const std::string& digits, std::string_view decimalPoint)
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
        text.append(decimalPoint);
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

std::string cardSizeText(std::uint8_t capacity, std::string_view decimalPoint)
{
    // 2^d megabits of 2^17 bytes each.
    const unsigned d = capacity;
    return generalFloatForm(powerOfTwoDigits(d), decimalPoint) + "Mbit (" +
           generalFloatForm(powerOfTwoDigits(d + 17), decimalPoint) + " bytes) (" + hex2(capacity) +
           "h)";
}

bool badDumpFound(const TNDSHeader& header)
{
    return header.BadDataBlock == BadDumpPattern;
}

std::string crcVerdict(bool ok)
{
    return ok ? "OK" : "BAD";
}

std::string crc32Text(std::uint32_t crc)
{
    return hex8(crc);
}

namespace {

std::string flagText(ValueKind kind, bool flag)
{
    switch (kind) {
    case ValueKind::BadDump:
        return flag ? kBadDumpFoundText : kBadDumpNotFoundText;
    case ValueKind::Flag:
        return flag ? "true" : "false";
    case ValueKind::Presence:
        return flag ? "present" : "absent";
    default:
        return crcVerdict(flag);
    }
}

std::string numberText(ValueKind kind, std::uint64_t n, std::string_view decimalPoint)
{
    switch (kind) {
    case ValueKind::ByteCount:
        return fileSizeText(n);
    case ValueKind::CardSize:
        return cardSizeText(static_cast<std::uint8_t>(n), decimalPoint);
    case ValueKind::Crc32:
        return crc32Text(static_cast<std::uint32_t>(n));
    case ValueKind::Code:
        return hex2(static_cast<std::uint8_t>(n));
    case ValueKind::Crc16:
    case ValueKind::Hex16:
        return hex4(static_cast<std::uint16_t>(n));
    case ValueKind::Hex32:
    case ValueKind::HexSize:
    case ValueKind::ByteSize:
        return hex8(static_cast<std::uint32_t>(n));
    default:
        return std::to_string(n);
    }
}

} // namespace

std::string valueText(ValueKind kind, const FieldValue& value, std::string_view decimalPoint)
{
    if (std::holds_alternative<std::monostate>(value))
        return {};
    if (const auto* text = std::get_if<std::string_view>(&value))
        return std::string(*text);
    if (const auto* owned = std::get_if<std::string>(&value))
        return *owned;
    if (const auto* list = std::get_if<std::vector<std::string>>(&value)) {
        std::string joined;
        for (const std::string& item : *list)
            joined += (joined.empty() ? "" : ", ") + item;
        return joined;
    }
    if (const auto* title = std::get_if<std::u16string_view>(&value))
        return utf16ToUtf8(*title);
    if (const auto* flag = std::get_if<bool>(&value))
        return flagText(kind, *flag);
    return numberText(kind, std::get<std::uint64_t>(value), decimalPoint);
}

std::string valueText(const HeaderValues& values, std::string_view control,
                      std::string_view decimalPoint)
{
    for (const HeaderField& field : kHeaderFields)
        if (control == field.control)
            return valueText(field.kind, field.get(values), decimalPoint);
    return {};
}

HeaderValues headerValues(const TNDSHeader& header, const TNDSBanner& banner,
                          std::optional<std::uint32_t> fileCrc32)
{
    HeaderValues v;
    v.internalName = fieldText(header.GameTitle);
    v.fileSize = header.FileSize;
    v.serial = header.Serial;
    v.makerCode = fieldText(header.MakerCode);
    v.publisher = SearchMakerArray(v.makerCode);
    v.capacity = header.DeviceCapacity;
    v.crc32 = fileCrc32;
    v.badDump = badDumpFound(header);
    v.version = header.RomVersion;
    v.unitCode = header.UnitCode;
    v.deviceCode = header.DeviceType;
    v.secureArea = {header.SecureAreaCrc, header.SecureAreaCrcCalc};
    v.logo = {header.LogoCrc, header.LogoCrcCalc};
    v.header = {header.HeaderCrc, header.HeaderCrcCalc};
    for (std::size_t slot = 0; slot < v.titles.size(); ++slot)
        v.titles[slot] = titleText(banner, static_cast<int>(slot));
    return v;
}

} // namespace cartscope::core
