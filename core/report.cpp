#include "core/report.h"

#include <array>

#include "core/banner_fields.h"
#include "core/base/paths.h"
#include "core/base/text.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kTitleSlots = 6;

// One value line: its label, the field whose text it shows and, for a checksum, the field of
// its verdict in parentheses after it.
struct ValueLine {
    const char* label;
    const char* control;
    const char* verdictControl = nullptr;
};

constexpr std::array<ValueLine, 11> kValueLines = {{
    {"Internal Name   : ", "IntNameEdit"},
    {"Game Serial     : ", "SerialEdit"},
    {"Maker Code      : ", "MakerCodeEdit"},
    {"Publisher       : ", "MakerNameEdit"},
    {"Version         : ", "VersionCodeEdit"},
    {"Secure Checksum : ", "ActSecAreaCRC16Edit", "SecAreaCheckEdit"},
    {"Logo Checksum   : ", "ActLogoCRC16Edit", "LogoCheckEdit"},
    {"Header Checksum : ", "ActHeaderCRC16Edit", "HeaderCheckEdit"},
    {"File Size       : ", "FileSizeEdit"},
    {"Card Size       : ", "CardSizeEdit"},
    {"File CRC32      : ", "CRC32Edit"},
}};

std::string lineText(const ValueLine& line, const HeaderValues& v, std::string_view decimalPoint)
{
    const std::string text = valueText(v, line.control, decimalPoint);
    if (line.verdictControl)
        return text + " (" + valueText(v, line.verdictControl) + ")";
    // The version byte as "1.<its low digit>" and then as it is.
    if (std::string_view(line.control) == "VersionCodeEdit")
        return std::string("1.") + "0123456789ABCDEF"[v.version & 0x0F] + " (" + text + "h)";
    return text;
}

} // namespace

std::vector<std::u16string> BuildHeaderInfoReport(const std::string& nameOfFile,
                                                  const HeaderValues& values,
                                                  const BannerInfo& banner,
                                                  std::string_view decimalPoint)
{
    const std::u16string name = utf8ToUtf16(namePart(nameOfFile));
    const std::u16string title = u"Header Info for: " + name;
    const std::u16string rule(title.size(), u'-');

    std::vector<std::u16string> lines = {rule, title, rule};
    for (const ValueLine& line : kValueLines)
        lines.push_back(utf8ToUtf16(line.label + lineText(line, values, decimalPoint)));
    lines.push_back(rule);

    // Slots are numbered 1..6 whether or not they hold a title; an empty slot adds no section.
    for (std::size_t slot = 0; slot < kTitleSlots; ++slot) {
        const auto title = std::get<std::u16string_view>(kBannerTitleFields[slot].get(banner));
        if (title.empty())
            continue;
        lines.emplace_back();
        lines.emplace_back(10, u'-');
        lines.push_back(utf8ToUtf16("Language " + std::to_string(slot + 1)));
        lines.emplace_back(10, u'-');
        lines.emplace_back();
        lines.emplace_back(title);
    }
    return lines;
}

std::u16string reportText(const std::vector<std::u16string>& lines)
{
    std::u16string text;
    for (const auto& line : lines) {
        text += line;
        text += u"\r\n";
    }
    return text;
}

std::vector<std::uint8_t> reportFileBytes(const std::vector<std::u16string>& lines)
{
    const std::u16string text = reportText(lines);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(2 + text.size() * 2);
    bytes.push_back(0xFF);
    bytes.push_back(0xFE);
    for (char16_t u : text) {
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return bytes;
}

} // namespace cartscope::core
