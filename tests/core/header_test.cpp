#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/image/header.h"
#include "core/image/header_record.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;

TNDSHeader read(const Bytes& image)
{
    MemoryStream stream(image);
    HeaderRecord header;
    PopulateNDSHeader(stream, header);
    return header.ds;
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

TEST(Hex, OneFormPaddedToItsWidth)
{
    EXPECT_EQ(hex2(0x0A), "0A");
    EXPECT_EQ(hex4(0x00ED), "00ED");
    EXPECT_EQ(hex8(0x4000), "00004000");
    EXPECT_EQ(hex8(0xDEADBEEF), "DEADBEEF");
    EXPECT_EQ(hexText(0x001808F800586000u, 16), "001808F800586000");
    EXPECT_EQ(hexText(0, 0), "0");
    // A value wider than asked keeps every digit rather than being cut.
    EXPECT_EQ(hexText(0x12345, 4), "12345");
    EXPECT_EQ(hexText(UINT64_MAX, 1), "FFFFFFFFFFFFFFFF");
}

TEST(Hex, HeaderOffsetPositionsNeverGoNegative)
{
    EXPECT_EQ(headerOffsetPosition(0x00000000), 0u);
    EXPECT_EQ(headerOffsetPosition(0x00008A00), 0x8A00u);
    EXPECT_EQ(headerOffsetPosition(0x7FFFFFFF), 2147483647u);
    EXPECT_EQ(headerOffsetPosition(0x80000000), kPastEnd);
    EXPECT_EQ(headerOffsetPosition(0xFFFFFFFF), kPastEnd);
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
    EXPECT_EQ(h.UnitCode, 0x02);
    EXPECT_EQ(h.DeviceType, 0x00);
    EXPECT_EQ(h.DeviceCapacity, 0x09);
    EXPECT_EQ(h.RomVersion, 0x0A);
    EXPECT_EQ(h.AutostartFlags, 0x04);
    EXPECT_EQ(h.Arm9RomOffset, 0x00004000u);
    EXPECT_EQ(h.Arm7OverlaySize, 0xDEADBEEFu);
    EXPECT_EQ(h.RomControl, 0x001808F800586000u);
    EXPECT_EQ(h.BannerOffset, 0x8000u);
    EXPECT_EQ(h.SecureAreaDelay, 0x051E);
    EXPECT_EQ(h.SecureAreaDisableLo, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(h.HeaderSize, 0x00004000u);
    EXPECT_EQ(h.Logo[0], image[0xC0]);
    EXPECT_EQ(h.Logo[155], image[0x15B]);
    EXPECT_EQ(h.FileSize, 36864u);
    for (std::size_t i = 0; i < kBadDataBlockSize; ++i)
        ASSERT_EQ(h.BadDataBlock[i], image[0x7E00 + i]) << i;

    // Stored and computed CRCs agree with each other and with an independent CRC-16.
    EXPECT_EQ(h.LogoCrc, fixture::crc16Modbus(image.data() + 0xC0, 156));
    EXPECT_EQ(h.HeaderCrc, fixture::crc16Modbus(image.data(), 0x15E));
    EXPECT_EQ(h.SecureAreaCrc, fixture::crc16Modbus(image.data() + 0x4000, 0x4000));
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
    EXPECT_EQ(h.LogoCrc, 0xCF56);
    // Stored and computed stay apart when they differ.
    EXPECT_EQ(h.HeaderCrc, 0x1234);
    EXPECT_EQ(h.HeaderCrcCalc, fixture::crc16Modbus(image.data(), 0x15E));
    EXPECT_EQ(h.SecureAreaCrc, 0x5678);
    EXPECT_EQ(h.SecureAreaCrcCalc, fixture::crc16Modbus(image.data() + 0x4000, 0x4000));
    EXPECT_EQ(h.LogoCrcCalc, fixture::crc16Modbus(image.data() + 0xC0, 156));
}

TEST(Header, ShortImagesFailAtTheCopies)
{
    const Bytes full = ImageBuilder().totalSize(0x8000).build();
    EXPECT_EQ(read(full).FileSize, 32768u);

    for (std::size_t size : {std::size_t{0}, std::size_t{0x100}, std::size_t{0x15D},
                             std::size_t{0x160}, std::size_t{0x7FFF}}) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        MemoryStream stream(cut);
        HeaderRecord header;
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
    EXPECT_EQ(h.BannerOffset, 0xFFFFFFFFu);
    EXPECT_EQ(headerOffsetPosition(h.BannerOffset), kPastEnd);
    EXPECT_EQ(h.LogoCrc, 0xFFFF);
    EXPECT_NE(h.LogoCrcCalc, h.LogoCrc);
}

// Each block a header could be read from (0x200 bytes, 0x1000 where the unit code has the DSi
// bit), as the image holds it: zero past its end.
Bytes headerBlockAt(const Bytes& image, std::size_t at)
{
    const bool dsi = at + 0x12 < image.size() && (image[at + 0x12] & 0x02) != 0;
    const std::size_t size = dsi ? kRawHeaderSize : 0x200;
    Bytes block(size, 0);
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), std::min(size, image.size() - at),
                block.begin());
    return block;
}

TEST(HeaderRecord, EncodingGivesBackEveryBlockOfTheFixtures)
{
    const std::vector<Bytes> images = {
        ImageBuilder().build(),
        fixture::systemImage({}).build(),
        fixture::systemImage({.dsi = true}).build(),
        ImageBuilder().unitCode(0x03).pokeBytes(0x300, Bytes(0xD00, 0xA5)).build(),
        fixture::readFile(CARTSCOPE_SOURCE_DIR "/samples/sample.nds"),
    };
    for (const Bytes& image : images) {
        for (std::size_t at = 0; at < image.size(); at += 0x200) {
            const Bytes block = headerBlockAt(image, at);
            ASSERT_EQ(encodeHeader(decodeHeader(RawHeader::fromBytes(block))), block) << at;
        }
    }
}

TEST(HeaderRecord, EncodingGivesBackRandomBlocks)
{
    // splitmix64, fixed seed: the same 100,000 blocks on every run.
    std::uint64_t state = 20;
    std::array<std::uint8_t, kRawHeaderSize> block{};
    int dsiBlocks = 0;
    int failures = 0;
    for (int n = 0; n < 100000; ++n) {
        for (std::size_t i = 0; i < block.size(); i += 8) {
            std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
            z ^= z >> 31;
            std::memcpy(block.data() + i, &z, sizeof z); // any byte order will do
        }
        const HeaderRecord header = decodeHeader(RawHeader::fromBytes(block));
        const std::vector<std::uint8_t> encoded = encodeHeader(header);
        dsiBlocks += encoded.size() == kRawHeaderSize ? 1 : 0;
        if (!std::equal(encoded.begin(), encoded.end(), block.begin()))
            ++failures;
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(dsiBlocks, 40000); // both halves were exercised
    EXPECT_LT(dsiBlocks, 60000);
}

TEST(HeaderRecord, ChangedFieldsChangeOnlyTheirOwnBytes)
{
    const Bytes image = fixture::systemImage({.dsi = true}).build();
    const Bytes before = headerBlockAt(image, 0);
    HeaderRecord header = decodeHeader(RawHeader::fromBytes(image));
    header.ds.GameTitle[11] = 'Z';             // 0x00B
    header.ds.DeviceCapacity = 0x0A;           // 0x014
    header.ds.RomControl = 0x1122334455667788; // 0x060
    header.ds.BannerOffset = 0xA1B2C3D4;       // 0x068
    header.ds.HeaderCrc = 0xBEEF;              // 0x15E
    header.dsi.dsiUsedSize = 0x01020304;       // 0x210
    header.dsi.modcrypt[1].size = 0xCAFEF00D;  // 0x22C
    header.dsi.ageRatings[15].raw = 0x91;      // 0x2FF
    const Bytes after = encodeHeader(header);

    Bytes expected = before;
    const auto put = [&expected](std::size_t at, std::uint64_t v, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            expected[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0x00B, 'Z', 1);
    put(0x014, 0x0A, 1);
    put(0x060, 0x1122334455667788, 8);
    put(0x068, 0xA1B2C3D4, 4);
    put(0x15E, 0xBEEF, 2);
    put(0x210, 0x01020304, 4);
    put(0x22C, 0xCAFEF00D, 4);
    put(0x2FF, 0x91, 1);
    EXPECT_EQ(after, expected);

    const HeaderRecord again = decodeHeader(RawHeader::fromBytes(after));
    EXPECT_EQ(again.ds.BannerOffset, 0xA1B2C3D4u);
    EXPECT_EQ(again.dsi.modcrypt[1].size, 0xCAFEF00Du);
    EXPECT_TRUE(again.dsi.ageRatings[15].present);
    // Clearing the DSi bit makes the block the DS header's 0x200 bytes.
    header.ds.UnitCode = 0x00;
    EXPECT_EQ(encodeHeader(header).size(), 0x200u);
}

} // namespace
} // namespace cartscope::core
