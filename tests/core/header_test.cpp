#include <string>

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/header.h"
#include "core/hex.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;

std::string hex4(std::uint16_t v)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04X", v);
    return text;
}

TNDSHeader read(const Bytes& image)
{
    MemoryStream stream(image);
    TNDSHeader header;
    PopulateNDSHeader(stream, header);
    EXPECT_EQ(stream.position(), kMinImageSize);
    return header;
}

TEST(Serial, RegionSuffixFromTheFourthCharacter)
{
    const auto serial = [](const char(&code)[5]) {
        return SerialFromGameCode({code[0], code[1], code[2], code[3]});
    };
    EXPECT_EQ(serial("ASME"), "NTR-ASME-USA");
    EXPECT_EQ(serial("ASMJ"), "NTR-ASMJ-JPN");
    EXPECT_EQ(serial("ASMF"), "NTR-ASMF-NOE");
    EXPECT_EQ(serial("ASMD"), "NTR-ASMD-NOE");
    EXPECT_EQ(serial("ASMC"), "NTR-ASMC-CHN");
    EXPECT_EQ(serial("ASMH"), "NTR-ASMH-HOL");
    EXPECT_EQ(serial("ASMI"), "NTR-ASMI-ITA");
    EXPECT_EQ(serial("ASMK"), "NTR-ASMK-KOR");
    EXPECT_EQ(serial("ASMP"), "NTR-ASMP-EUR");
    EXPECT_EQ(serial("ASMS"), "NTR-ASMS-SPA");
    EXPECT_EQ(serial("ASMX"), "NTR-ASMX-EUU");
    EXPECT_EQ(serial("ASMe"), "NTR-ASMe-???");
    EXPECT_EQ(serial("ASMG"), "NTR-ASMG-???");
    // A NUL cuts the code short: no fourth character, even if one follows the NUL.
    EXPECT_EQ(SerialFromGameCode({'A', 'S', '\0', 'E'}), "NTR-AS-???");
    EXPECT_EQ(SerialFromGameCode({'\0', '\0', '\0', '\0'}), "NTR--???");
}

TEST(Hex, FieldForms)
{
    const Bytes logoCrc{0x56, 0xCF};
    EXPECT_EQ(hexLE(logoCrc), "CF56");
    EXPECT_EQ(hexLE(Bytes{0x00, 0x40, 0x00, 0x00}), "00004000");
    EXPECT_EQ(hex8(0x4000), "00004000");
    EXPECT_EQ(hex2(0x0A), "0A");
    EXPECT_EQ(parseHex32("ffffFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(parseHex32("0"), 0u);
    for (const std::string bad : {"", "12345678A", "G1", "-1", " 1"}) {
        try {
            parseHex32(bad);
            ADD_FAILURE() << bad;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "'$" + bad + "' is not a valid integer value");
        }
    }
}

TEST(Hex, HeaderOffsetPositionsNeverGoNegative)
{
    EXPECT_EQ(headerOffsetPosition("00000000"), 0u);
    EXPECT_EQ(headerOffsetPosition("00008A00"), 0x8A00u);
    EXPECT_EQ(headerOffsetPosition("7FFFFFFF"), 2147483647u);
    EXPECT_EQ(headerOffsetPosition("80000000"), kPastEnd);
    EXPECT_EQ(headerOffsetPosition("FFFFFFFF"), kPastEnd);
}

TEST(Header, EveryFieldOfAFixtureImage)
{
    const Bytes image = ImageBuilder()
                            .title("HELLOWORLD12")
                            .gameCode("ASMP")
                            .makerCode("08")
                            .unitCode(0x02)
                            .deviceType(0x00)
                            .deviceCapacity(0x09)
                            .romVersion(0x0A)
                            .poke8(0x1F, 0x04)
                            .poke32(0x20, 0x00004000)
                            .poke32(0x5C, 0xDEADBEEF)
                            .poke16(0x6E, 0x051E)
                            .poke32(0x78, 0x04030201)
                            .banner(fixture::sampleBanner())
                            .totalSize(0x9000)
                            .build();
    const TNDSHeader h = read(image);
    EXPECT_EQ(std::string(h.GameTitle.begin(), h.GameTitle.end()), "HELLOWORLD12");
    EXPECT_EQ(std::string(h.GameCode.begin(), h.GameCode.end()), "ASMP");
    EXPECT_EQ(h.Serial, "NTR-ASMP-EUR");
    EXPECT_EQ(fieldText(h.MakerCode), "08");
    EXPECT_EQ(h.UnitCode, "02");
    EXPECT_EQ(h.DeviceType, "00");
    EXPECT_EQ(h.DeviceCapacity, "09");
    EXPECT_EQ(h.RomVersion, "0A");
    EXPECT_EQ(h.AutostartFlags, 0x04);
    EXPECT_EQ(h.Arm9RomOffset, "00004000");
    EXPECT_EQ(h.Arm7OverlaySize, "DEADBEEF");
    EXPECT_EQ(h.RomControl, "001808F800586000");
    EXPECT_EQ(h.BannerOffset, hex8(0x8000));
    EXPECT_EQ(h.SecureAreaDelay, "051E");
    EXPECT_EQ(h.SecureAreaDisableLo, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(h.HeaderSize, "00004000");
    EXPECT_EQ(h.Logo[0], image[0xC0]);
    EXPECT_EQ(h.Logo[155], image[0x15B]);
    EXPECT_EQ(h.FileSize, "36864");
    for (std::size_t i = 0; i < kBadDataBlockSize; ++i)
        ASSERT_EQ(h.BadDataBlock[i], image[0x7E00 + i]) << i;

    // Stored and computed CRCs agree with each other and with an independent CRC-16.
    EXPECT_EQ(h.LogoCrc, hex4(fixture::crc16Modbus(image.data() + 0xC0, 156)));
    EXPECT_EQ(h.HeaderCrc, hex4(fixture::crc16Modbus(image.data(), 0x15E)));
    EXPECT_EQ(h.SecureAreaCrc, hex4(fixture::crc16Modbus(image.data() + 0x4000, 0x4000)));
    EXPECT_EQ(h.LogoCrcCalc, h.LogoCrc);
    EXPECT_EQ(h.HeaderCrcCalc, h.HeaderCrc);
    EXPECT_EQ(h.SecureAreaCrcCalc, h.SecureAreaCrc);
}

TEST(Header, StoredCrcBytesAreWrittenMostSignificantFirst)
{
    const Bytes image = ImageBuilder()
                            .stampCrcs(false)
                            .pokeBytes(0x15C, {0x56, 0xCF})
                            .pokeBytes(0x15E, {0x34, 0x12})
                            .pokeBytes(0x6C, {0x78, 0x56})
                            .build();
    const TNDSHeader h = read(image);
    EXPECT_EQ(h.LogoCrc, "CF56");
    // Stored and computed stay apart when they differ.
    EXPECT_EQ(h.HeaderCrc, "1234");
    EXPECT_EQ(h.HeaderCrcCalc, hex4(fixture::crc16Modbus(image.data(), 0x15E)));
    EXPECT_EQ(h.SecureAreaCrc, "5678");
    EXPECT_EQ(h.SecureAreaCrcCalc, hex4(fixture::crc16Modbus(image.data() + 0x4000, 0x4000)));
    EXPECT_EQ(h.LogoCrcCalc, hex4(fixture::crc16Modbus(image.data() + 0xC0, 156)));
}

TEST(Header, ShortImagesFailAtTheCopies)
{
    const Bytes full = ImageBuilder().totalSize(0x8000).build();
    EXPECT_EQ(read(full).FileSize, "32768");

    for (std::size_t size : {std::size_t{0}, std::size_t{0x100}, std::size_t{0x15D},
                             std::size_t{0x160}, std::size_t{0x7FFF}}) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        MemoryStream stream(cut);
        TNDSHeader header;
        try {
            PopulateNDSHeader(stream, header);
            ADD_FAILURE() << size;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "Stream read error") << size;
        }
    }
}

TEST(Header, AnyBytesAreReadAsAHeader)
{
    const Bytes junk(0x8000, 0xFF);
    const TNDSHeader h = read(junk);
    EXPECT_EQ(h.Serial, "NTR-\xFF\xFF\xFF\xFF-???");
    EXPECT_EQ(h.BannerOffset, "FFFFFFFF");
    EXPECT_EQ(headerOffsetPosition(h.BannerOffset), kPastEnd);
    EXPECT_EQ(h.LogoCrc, "FFFF");
    EXPECT_NE(h.LogoCrcCalc, h.LogoCrc);
}

} // namespace
} // namespace cartscope::core
