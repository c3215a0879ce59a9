#include <cstdio>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "core/base/hex.h"
#include "core/checksum/crc32.h"
#include "core/image/header_record.h"
#include "core/interpret.h"
#include "tests/fixture/crc32_reference.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using fixture::TempDir;

TEST(CardSize, EveryRowOfTheTable)
{
    EXPECT_EQ(cardSizeText(0x00), "1Mbit (131072 bytes) (00h)");
    EXPECT_EQ(cardSizeText(0x09), "512Mbit (67108864 bytes) (09h)");
    EXPECT_EQ(cardSizeText(0x0A), "1024Mbit (134217728 bytes) (0Ah)");
    EXPECT_EQ(cardSizeText(0x0F), "32768Mbit (4294967296 bytes) (0Fh)");
    EXPECT_EQ(cardSizeText(0x20), "4294967296Mbit (562949953421312 bytes) (20h)");
    EXPECT_EQ(cardSizeText(0x21), "8589934592Mbit (1.12589990684262E15 bytes) (21h)");
    EXPECT_EQ(cardSizeText(0x32), "1.12589990684262E15Mbit (1.47573952589676E20 bytes) (32h)");
    EXPECT_EQ(cardSizeText(0xFF), "5.78960446186581E76Mbit (7.58855036025675E81 bytes) (FFh)");
}

TEST(CardSize, RoundingAndTrimmingOfLargeValues)
{
    // 2^53 = 9007199254740992 rounds up at the 15th digit; 2^60 = 1152921504606846976.
    EXPECT_EQ(cardSizeText(0x35), "9.00719925474099E15Mbit (1.18059162071741E21 bytes) (35h)");
    EXPECT_EQ(cardSizeText(0x3C), "1.15292150460685E18Mbit (1.51115727451829E23 bytes) (3Ch)");
    // 2^52 = 4503599627370496 rounds to 450359962737050: the trailing zero is dropped.
    EXPECT_EQ(cardSizeText(0x34), "4.5035996273705E15Mbit (5.90295810358706E20 bytes) (34h)");
    // 2^64 = 18446744073709551616: the digit after the fifteenth is exactly 5, which rounds up.
    EXPECT_EQ(cardSizeText(0x2F), "140737488355328Mbit (1.84467440737096E19 bytes) (2Fh)");
}

TEST(CardSize, TheDecimalPointIsGivenAndStandsOnlyInScientificFigures)
{
    EXPECT_EQ(cardSizeText(0x2F, ","), "140737488355328Mbit (1,84467440737096E19 bytes) (2Fh)");
    EXPECT_EQ(cardSizeText(0x32, "\xD9\xAB"), "1\xD9\xAB"
                                              "12589990684262E15Mbit (1\xD9\xAB"
                                              "47573952589676E20 bytes) (32h)");
    // Whole figures and the code have no point to replace.
    EXPECT_EQ(cardSizeText(0x09, ","), "512Mbit (67108864 bytes) (09h)");
}

TEST(FileSize, MegabitsAndBytesIn64Bits)
{
    EXPECT_EQ(fileSizeText(100000), "0Mbit (100000 bytes)");
    EXPECT_EQ(fileSizeText(1000000), "7Mbit (1000000 bytes)");
    EXPECT_EQ(fileSizeText(67108864), "512Mbit (67108864 bytes)");
    EXPECT_EQ(fileSizeText(2147483648u), "16384Mbit (2147483648 bytes)");
    EXPECT_EQ(fileSizeText(5000000000u), "38146Mbit (5000000000 bytes)");
}

TEST(BadDump, OnlyTheExactPatternIsFound)
{
    TNDSHeader header;
    header.BadDataBlock = BadDumpPattern;
    EXPECT_TRUE(badDumpFound(header));
    for (std::size_t i : {0u, 42u, 83u, 84u, 511u}) {
        TNDSHeader changed = header;
        changed.BadDataBlock[i] ^= 1;
        EXPECT_FALSE(badDumpFound(changed)) << i;
    }
    EXPECT_EQ(BadDumpPattern[83], 0x3Fu);
    EXPECT_EQ(BadDumpPattern[84], 0u);
}

TEST(Verdict, ComparesValues)
{
    EXPECT_EQ(crcVerdict(Crc16Check{0xCF56, 0xCF56}.ok()), "OK");
    EXPECT_EQ(crcVerdict(Crc16Check{0x0000, 0xCF56}.ok()), "BAD");
}

class DisplayTest : public ::testing::Test {
protected:
    HeaderValues display(const ImageBuilder& builder, TNDSHeader* headerOut = nullptr)
    {
        const Bytes image = builder.build();
        m_path = m_dir.file("game.nds");
        fixture::writeFile(m_path, image);
        MemoryStream stream(image);
        HeaderRecord record;
        PopulateNDSHeader(stream, record);
        const TNDSHeader& header = record.ds;
        const std::size_t bannerAt = builder.layout().bannerOffset;
        TNDSBanner banner;
        for (std::size_t slot = 0; bannerAt != 0 && slot < 6; ++slot) {
            for (std::size_t u = 0; u < 128; ++u) {
                const std::size_t at = bannerAt + 0x240 + slot * 0x100 + u * 2;
                banner.Titles[slot][u] = static_cast<char16_t>(image[at] | (image[at + 1] << 8));
            }
        }
        const HeaderValues out = headerValues(header, banner, crc32::crc32Of(image));
        if (headerOut)
            *headerOut = header;
        return out;
    }
    TempDir m_dir;
    std::string m_path;
};

TEST_F(DisplayTest, AFixtureImageShowsEveryValue)
{
    const HeaderValues d = display(ImageBuilder()
                                       .title("CARTSCOPE")
                                       .gameCode("ACSE")
                                       .makerCode("01")
                                       .unitCode(0x03)
                                       .deviceType(0x41)
                                       .deviceCapacity(0x09)
                                       .romVersion(0x01)
                                       .banner(fixture::sampleBanner())
                                       .totalSize(100000));
    // Every field of the one list, typed and as its text.
    EXPECT_EQ(d.fileSize, 100000u);
    EXPECT_EQ(d.capacity, 0x09);
    EXPECT_EQ(d.crc32, cartscope::reference::FileCrc32Reference(m_path));
    EXPECT_FALSE(d.badDump);
    // Three different bytes: unit code 0x012, device type 0x013, capacity 0x014.
    EXPECT_EQ(d.unitCode, 0x03);
    EXPECT_EQ(d.deviceCode, 0x41);
    EXPECT_EQ(d.version, 0x01);
    for (const Crc16Check* check : {&d.secureArea, &d.logo, &d.header})
        EXPECT_TRUE(check->ok());
    const std::map<std::string, std::string> texts = {
        {"IntNameEdit", "CARTSCOPE"},
        {"FileSizeEdit", "0Mbit (100000 bytes)"},
        {"SerialEdit", "NTR-ACSE-USA"},
        {"MakerCodeEdit", "01"},
        {"MakerNameEdit", "Nintendo"},
        {"CardSizeEdit", "512Mbit (67108864 bytes) (09h)"},
        {"CRC32Edit", hex8(cartscope::reference::FileCrc32Reference(m_path))},
        {"BadDumpCodeEdit", kBadDumpNotFoundText},
        {"VersionCodeEdit", "01"},
        {"UnitCodeEdit", "03"},
        {"DeviceCodeEdit", "41"},
        {"ExpSecAreaCRC16Edit", hex4(d.secureArea.computed)},
        {"ActSecAreaCRC16Edit", hex4(d.secureArea.computed)},
        {"SecAreaCheckEdit", "OK"},
        {"ExpLogoCRC16Edit", hex4(d.logo.computed)},
        {"ActLogoCRC16Edit", hex4(d.logo.computed)},
        {"LogoCheckEdit", "OK"},
        {"ExpHeaderCRC16Edit", hex4(d.header.computed)},
        {"ActHeaderCRC16Edit", hex4(d.header.computed)},
        {"HeaderCheckEdit", "OK"},
    };
    ASSERT_EQ(texts.size(), kHeaderFields.size());
    for (const HeaderField& field : kHeaderFields)
        EXPECT_EQ(valueText(field.kind, field.get(d)), texts.at(field.control)) << field.control;
    const auto sample = fixture::sampleBanner();
    for (std::size_t slot = 0; slot < 6; ++slot)
        EXPECT_EQ(d.titles[slot], sample.titles[slot]) << slot;
}

TEST_F(DisplayTest, WrongStoredCrcsShowStoredAndComputedInTheirPlaces)
{
    const auto hex4 = [](unsigned v) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04X", v);
        return std::string(buf);
    };
    // Each stored CRC lies outside the bytes it covers, so poking it (and re-stamping the header
    // CRC over it) changes only its own pair: Exp shows the stored value, Act the one computed
    // (here by the fixture's own CRC-16).
    struct Case {
        std::size_t at;
        std::size_t from, length;
    };
    for (const Case c :
         {Case{0x15E, 0, 0x15E}, Case{0x15C, 0xC0, 156}, Case{0x6C, 0x4000, 0x4000}}) {
        Bytes image = ImageBuilder().build();
        const unsigned computed = fixture::crc16Modbus(image.data() + c.from, c.length);
        const unsigned stored = computed ^ 0x0101;
        image[c.at] = static_cast<std::uint8_t>(stored);
        image[c.at + 1] = static_cast<std::uint8_t>(stored >> 8);
        if (c.at != 0x15E) { // the header CRC covers the other two: keep it right
            const unsigned header = fixture::crc16Modbus(image.data(), 0x15E);
            image[0x15E] = static_cast<std::uint8_t>(header);
            image[0x15F] = static_cast<std::uint8_t>(header >> 8);
        }
        MemoryStream stream(image);
        HeaderRecord header;
        PopulateNDSHeader(stream, header);
        const HeaderValues d = headerValues(header.ds, {}, crc32::crc32Of(image));
        const bool h = c.at == 0x15E, l = c.at == 0x15C, s = c.at == 0x6C;
        EXPECT_EQ(valueText(d, "HeaderCheckEdit"), h ? "BAD" : "OK") << c.at;
        EXPECT_EQ(valueText(d, "LogoCheckEdit"), l ? "BAD" : "OK") << c.at;
        EXPECT_EQ(valueText(d, "SecAreaCheckEdit"), s ? "BAD" : "OK") << c.at;
        const std::string area = h ? "Header" : l ? "Logo" : "SecArea";
        EXPECT_EQ(valueText(d, "Exp" + area + "CRC16Edit"), hex4(stored)) << c.at;
        EXPECT_EQ(valueText(d, "Act" + area + "CRC16Edit"), hex4(computed)) << c.at;
        const Crc16Check& check = h ? d.header : l ? d.logo : d.secureArea;
        EXPECT_EQ(check.stored, stored) << c.at;
        EXPECT_EQ(check.computed, computed) << c.at;
    }
}

TEST_F(DisplayTest, TitleAndMakerCodeStopAtTheFirstNul)
{
    EXPECT_EQ(display(ImageBuilder().title("ABCDEFGHIJKL")).internalName, "ABCDEFGHIJKL");
    EXPECT_EQ(display(ImageBuilder().pokeBytes(0, {'A', 'B', 'C', 'D', 0, 'X'})).internalName,
              "ABCD");
    const HeaderValues noMaker = display(ImageBuilder().makerCode(""));
    EXPECT_EQ(noMaker.makerCode, "");
    EXPECT_EQ(noMaker.publisher, "");
    const HeaderValues oneChar = display(ImageBuilder().makerCode("0"));
    EXPECT_EQ(oneChar.makerCode, "0");
    EXPECT_EQ(oneChar.publisher, "");
}

TEST_F(DisplayTest, BadDumpPatternInTheImage)
{
    Bytes pattern(512, 0);
    for (std::size_t i = 0; i < 84; ++i)
        pattern[i] = static_cast<std::uint8_t>(BadDumpPattern[i]);
    const HeaderValues found = display(ImageBuilder().pokeBytes(0x7E00, pattern));
    EXPECT_TRUE(found.badDump);
    EXPECT_EQ(valueText(found, "BadDumpCodeEdit"), "Bad Data Found, Rom May Need Patch/Redump");

    pattern[511] = 1; // one of the trailing zeros
    const HeaderValues notFound = display(ImageBuilder().pokeBytes(0x7E00, pattern));
    EXPECT_FALSE(notFound.badDump);
    EXPECT_EQ(valueText(notFound, "BadDumpCodeEdit"),
              "Bad Data NOT Found, It's Likely This Dump Is Good!");
}

TEST_F(DisplayTest, ImagesOf2GiBAndMoreShowTheirSize)
{
    TNDSHeader header;
    display(ImageBuilder(), &header);
    header.FileSize = 3221225472u;
    const HeaderValues d = headerValues(header, {}, std::nullopt);
    EXPECT_EQ(d.fileSize, 3221225472u);
    EXPECT_EQ(valueText(d, "FileSizeEdit"), "24576Mbit (3221225472 bytes)");
}

TEST_F(DisplayTest, TheFileCrcIsGivenNotRead)
{
    TNDSHeader header;
    display(ImageBuilder().deviceCapacity(0x0A), &header);
    // Without a CRC-32 every other value is there and the field waits, empty.
    HeaderValues d = headerValues(header, {}, std::nullopt);
    EXPECT_EQ(d.internalName, "CARTSCOPE");
    EXPECT_EQ(valueText(d, "CardSizeEdit"), "1024Mbit (134217728 bytes) (0Ah)");
    EXPECT_FALSE(d.crc32);
    EXPECT_EQ(valueText(d, "CRC32Edit"), "");
    EXPECT_EQ(valueText(d, "BadDumpCodeEdit"), kBadDumpNotFoundText);
    EXPECT_EQ(valueText(d, "HeaderCheckEdit"), "OK");
    // A given value keeps its leading zeros.
    d = headerValues(header, {}, 0x0000ABCDu);
    EXPECT_EQ(valueText(d, "CRC32Edit"), "0000ABCD");
    EXPECT_EQ(crc32Text(0xCBF43926u), "CBF43926");
}

} // namespace
} // namespace cartscope::core
