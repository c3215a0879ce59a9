#include "core/report.h"

#include "core/base/paths.h"
#include "core/base/text.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kTitleSlots = 6;

std::u16string labelLine(const char* paddedLabel, const std::string& value)
{
    return utf8ToUtf16(std::string(paddedLabel) + value);
}

} // namespace

std::vector<std::u16string> BuildHeaderInfoReport(const std::string& nameOfFile,
                                                  const DisplayValues& shown,
                                                  const TNDSBanner& banner)
{
    const std::u16string name = utf8ToUtf16(namePart(nameOfFile));
    const std::u16string title = u"Header Info for: " + name;
    const std::u16string rule(title.size(), u'-');

    // "1." then the last of the two version digits; a shorter text (never from a header) just
    // leaves that digit out.
    const std::string& version = shown.VersionCode;
    const std::string minor = version.size() >= 2 ? version.substr(1, 1) : std::string();

    std::vector<std::u16string> lines = {
        rule,
        title,
        rule,
        labelLine("Internal Name   : ", shown.IntName),
        labelLine("Game Serial     : ", shown.Serial),
        labelLine("Maker Code      : ", shown.MakerCode),
        labelLine("Publisher       : ", shown.MakerName),
        labelLine("Version         : ", "1." + minor + " (" + version + "h)"),
        labelLine("Secure Checksum : ", shown.ActSecAreaCRC16 + " (" + shown.SecAreaCheck + ")"),
        labelLine("Logo Checksum   : ", shown.ActLogoCRC16 + " (" + shown.LogoCheck + ")"),
        labelLine("Header Checksum : ", shown.ActHeaderCRC16 + " (" + shown.HeaderCheck + ")"),
        labelLine("File Size       : ", shown.FileSize),
        labelLine("Card Size       : ", shown.CardSize),
        labelLine("File CRC32      : ", shown.CRC32),
        rule,
    };

    // Slots are numbered 1..6 whether or not they hold a title; an empty slot adds no section.
    for (std::size_t slot = 0; slot < kTitleSlots; ++slot) {
        if (banner.Titles[slot][0] == 0)
            continue;
        lines.emplace_back();
        lines.emplace_back(10, u'-');
        lines.push_back(utf8ToUtf16("Language " + std::to_string(slot + 1)));
        lines.emplace_back(10, u'-');
        lines.emplace_back();
        lines.push_back(titleText(banner, static_cast<int>(slot)));
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
