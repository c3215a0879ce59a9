#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.h"

namespace cartscope::core {
namespace {

HeaderValues sampleValues()
{
    HeaderValues d;
    d.internalName = "CARTSCOPE";
    d.fileSize = 100000;
    d.serial = "NTR-ACSE-USA";
    d.makerCode = "01";
    d.publisher = "Nintendo";
    d.capacity = 0x09;
    d.crc32 = 0x0762AE69;
    d.version = 0x00;
    d.secureArea = {0x1111, 0x2222};
    d.logo = {0xCF56, 0xCF56};
    d.header = {0x0A1B, 0x0A1B};
    return d;
}

void setTitle(BannerInfo& banner, std::size_t slot, const std::u16string& text)
{
    banner.titles[slot] = text;
}

TEST(Report, FifteenLinesForGameNds)
{
    const auto lines = BuildHeaderInfoReport("game.nds", sampleValues(), BannerInfo{});
    const std::u16string rule(25, u'-');
    const std::vector<std::u16string> expected = {
        rule,
        u"Header Info for: game.nds",
        rule,
        u"Internal Name   : CARTSCOPE",
        u"Game Serial     : NTR-ACSE-USA",
        u"Maker Code      : 01",
        u"Publisher       : Nintendo",
        u"Version         : 1.0 (00h)",
        u"Secure Checksum : 2222 (BAD)",
        u"Logo Checksum   : CF56 (OK)",
        u"Header Checksum : 0A1B (OK)",
        u"File Size       : 0Mbit (100000 bytes)",
        u"Card Size       : 512Mbit (67108864 bytes) (09h)",
        u"File CRC32      : 0762AE69",
        rule,
    };
    EXPECT_EQ(lines, expected);
}

TEST(Report, NameIsCountedInUtf16UnitsAndCutFromAPath)
{
    const auto lines =
        BuildHeaderInfoReport("/roms/\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0.zip", sampleValues(), {});
    EXPECT_EQ(lines[1], u"Header Info for: \u30B2\u30FC\u30E0.zip");
    EXPECT_EQ(lines[0], std::u16string(24, u'-'));
    EXPECT_EQ(lines[14], lines[0]);
}

TEST(Report, VersionLineUsesTheLowDigit)
{
    HeaderValues d = sampleValues();
    d.version = 0x0A;
    EXPECT_EQ(BuildHeaderInfoReport("a.nds", d, {})[7], u"Version         : 1.A (0Ah)");
    d.version = 0xF3;
    EXPECT_EQ(BuildHeaderInfoReport("a.nds", d, {})[7], u"Version         : 1.3 (F3h)");
}

TEST(Report, CardSizeTakesTheDecimalPointGivenAndAnUnknownCrcIsEmpty)
{
    HeaderValues d = sampleValues();
    d.capacity = 0x2F;
    d.crc32.reset();
    const auto lines = BuildHeaderInfoReport("a.nds", d, {}, ",");
    EXPECT_EQ(lines[12],
              u"Card Size       : 140737488355328Mbit (1,84467440737096E19 bytes) (2Fh)");
    EXPECT_EQ(lines[13], u"File CRC32      : ");
}

TEST(Report, InvalidUtf8InFieldsBecomesReplacementCharacters)
{
    HeaderValues d = sampleValues();
    d.internalName = "AB\xFF";
    EXPECT_EQ(BuildHeaderInfoReport("a.nds", d, {})[3], u"Internal Name   : AB\uFFFD");
}

TEST(Report, TitleSectionsCountEmptySlots)
{
    BannerInfo banner;
    setTitle(banner, 1, u"Cartscope Sample\nHomebrew Test Image");
    const auto lines = BuildHeaderInfoReport("game.nds", sampleValues(), banner);
    ASSERT_EQ(lines.size(), 21u);
    const std::vector<std::u16string> section(lines.begin() + 15, lines.end());
    const std::vector<std::u16string> expected = {
        u"",           u"----------", u"Language 2",
        u"----------", u"",           u"Cartscope Sample\nHomebrew Test Image"};
    EXPECT_EQ(section, expected);

    for (std::size_t slot = 0; slot < 6; ++slot)
        setTitle(banner, slot, u"T" + std::u16string(1, static_cast<char16_t>(u'1' + slot)));
    const auto all = BuildHeaderInfoReport("game.nds", sampleValues(), banner);
    ASSERT_EQ(all.size(), 15u + 36u);
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(all[15 + 6 * k + 2], u"Language " + std::u16string(1, char16_t(u'1' + k)));
        EXPECT_EQ(all[15 + 6 * k + 5], u"T" + std::u16string(1, char16_t(u'1' + k)));
    }
}

TEST(Report, FullLengthTitlesAreWrittenWhole)
{
    BannerInfo banner;
    const std::u16string full(128, u'\u30AB');
    setTitle(banner, 0, full);
    EXPECT_EQ(BuildHeaderInfoReport("a.nds", sampleValues(), banner).back(), full);
    // Units past 128 never come from an image, but nothing cuts a title.
    const std::u16string whole(256, u'x');
    setTitle(banner, 0, whole);
    EXPECT_EQ(BuildHeaderInfoReport("a.nds", sampleValues(), banner).back(), whole);
}

TEST(Report, TextAndFileForms)
{
    const std::vector<std::u16string> lines = {u"ab", u"", u"c\nd\u00E9"};
    EXPECT_EQ(reportText(lines), u"ab\r\n\r\nc\nd\u00E9\r\n");
    const std::vector<std::uint8_t> bytes = reportFileBytes(lines);
    const std::vector<std::uint8_t> expected = {0xFF, 0xFE, 'a',  0,    'b',  0,   0x0D, 0,    0x0A,
                                                0,    0x0D, 0,    0x0A, 0,    'c', 0,    0x0A, 0,
                                                'd',  0,    0xE9, 0,    0x0D, 0,   0x0A, 0};
    EXPECT_EQ(bytes, expected);

    const auto report = reportFileBytes(BuildHeaderInfoReport("game.nds", sampleValues(), {}));
    ASSERT_GE(report.size(), 6u);
    EXPECT_EQ(report[0], 0xFF);
    EXPECT_EQ(report[1], 0xFE);
    EXPECT_EQ(std::vector<std::uint8_t>(report.end() - 4, report.end()),
              (std::vector<std::uint8_t>{0x0D, 0x00, 0x0A, 0x00}));
}

} // namespace
} // namespace cartscope::core
