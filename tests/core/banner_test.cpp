#include <string>

#include <gtest/gtest.h>

#include "core/banner/banner.h"
#include "core/banner/banner_record.h"
#include "core/image/header.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::BannerFields;
using fixture::Bytes;
using fixture::ImageBuilder;

// Puts palette index `index` at pixel (x, y) of a bitmap, using the tile layout written out
// the other way round (from the pixel to the byte) so the decoder is checked against it.
void setIndex(std::array<std::uint8_t, 512>& icon, int x, int y, int index)
{
    const int tile = (y / 8) * 4 + x / 8;
    const auto byte = static_cast<std::size_t>(tile * 32 + (y % 8) * 4 + (x % 8) / 2);
    if (x % 2 == 0)
        icon[byte] = static_cast<std::uint8_t>((icon[byte] & 0xF0) | index);
    else
        icon[byte] = static_cast<std::uint8_t>((icon[byte] & 0x0F) | (index << 4));
}

int indexAt(const std::array<std::uint8_t, 512>& icon, int x, int y)
{
    const int tile = (y / 8) * 4 + x / 8;
    const auto byte = static_cast<std::size_t>(tile * 32 + (y % 8) * 4 + (x % 8) / 2);
    return x % 2 == 0 ? icon[byte] & 0x0F : icon[byte] >> 4;
}

Rgb colourOfWord(std::uint16_t w)
{
    return Rgb{static_cast<std::uint8_t>((w & 31) * 8),
               static_cast<std::uint8_t>(((w >> 5) & 31) * 8),
               static_cast<std::uint8_t>(((w >> 10) & 31) * 8)};
}

struct Decoded {
    TNDSBanner banner;
    IconPicture picture;
    bool hasTransparency = true; // must be cleared by the decoder when no index 0 is found
};

Decoded decodeAt(const Bytes& image, std::uint64_t position)
{
    MemoryStream stream(image);
    BannerRecord record;
    record.hasTransparency = true;
    PopulateNDSBanner(stream, record, position);
    return {record.original, record.icon, record.hasTransparency};
}

Decoded decodeBanner(const BannerFields& banner)
{
    ImageBuilder builder;
    builder.banner(banner);
    const Bytes image = builder.build();
    return decodeAt(image, builder.layout().bannerOffset);
}

void expectBlankBanner(const Decoded& d)
{
    EXPECT_TRUE(d.hasTransparency); // every pixel has index 0
    for (const Rgb& c : d.picture.pixels)
        ASSERT_EQ(c, Rgb{});
    for (int slot = 0; slot < 6; ++slot)
        EXPECT_TRUE(titleText(d.banner, slot).empty());
    for (const auto& entry : d.banner.Palette)
        EXPECT_EQ(entry, TPixelDataDec{});
}

TEST(PopulateNDSBanner, ConvertsPaletteWordsToChannels)
{
    BannerFields banner;
    banner.palette[0] = 0x7FFF;
    banner.palette[1] = 0x8000;
    banner.palette[2] = 0x001F;
    banner.palette[3] = 0x7C00;
    banner.palette[4] = 0x0421;
    banner.palette[5] = 0x03E0;
    banner.palette[6] = 0xFFFF;
    const Decoded d = decodeBanner(banner);
    const auto& p = d.banner.Palette;
    const auto bgr = [](const TPixelDataDec& c) {
        return std::to_string(c.Blue) + "," + std::to_string(c.Green) + "," + std::to_string(c.Red);
    };
    EXPECT_EQ(bgr(p[0]), "248,248,248");
    EXPECT_EQ(bgr(p[1]), "0,0,0");
    EXPECT_EQ(bgr(p[2]), "0,0,248");
    EXPECT_EQ(bgr(p[3]), "248,0,0");
    EXPECT_EQ(bgr(p[4]), "8,8,8");
    EXPECT_EQ(bgr(p[5]), "0,248,0");
    EXPECT_EQ(bgr(p[6]), "248,248,248");
    EXPECT_EQ(bgr(p[7]), "0,0,0");
}

TEST(PopulateNDSBanner, DecodesSampleIconTitlesAndLeadingBlock)
{
    const BannerFields banner = fixture::sampleBanner();
    const Decoded d = decodeBanner(banner);
    EXPECT_EQ(d.banner.BannerHead, banner.head);
    EXPECT_EQ(d.banner.IconData, banner.icon);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(
                d.picture.at(x, y),
                colourOfWord(banner.palette[static_cast<std::size_t>(indexAt(banner.icon, x, y))]))
                << x << "," << y;
    EXPECT_TRUE(d.hasTransparency);
    for (int slot = 0; slot < 6; ++slot)
        EXPECT_EQ(titleText(d.banner, slot), banner.titles[static_cast<std::size_t>(slot)]);
    EXPECT_EQ(titleText(d.banner, 1), u"Cartscope Sample\nHomebrew Test Image");
    EXPECT_TRUE(titleText(d.banner, 6).empty());
    EXPECT_TRUE(titleText(d.banner, -1).empty());
}

TEST(ICO2BMP, FollowsTileOrderWithLowNibbleOnTheLeft)
{
    TNDSBanner banner;
    for (int i = 0; i < 16; ++i) // red carries the index
        banner.Palette[static_cast<std::size_t>(i)] = {.Red = static_cast<std::uint8_t>(i * 8)};
    std::array<std::uint8_t, 512> icon{};
    icon.fill(0xFF);
    icon[0] = 0x21;
    icon[32] = 0x43;
    icon[128] = 0x65;
    icon[511] = 0x87;
    IconPicture picture;
    bool flag = false;
    ICO2BMP(icon, banner, picture, flag);
    const auto indexOf = [&picture](int x, int y) { return picture.at(x, y).r / 8; };
    EXPECT_EQ(indexOf(0, 0), 1);
    EXPECT_EQ(indexOf(1, 0), 2);
    EXPECT_EQ(indexOf(8, 0), 3);
    EXPECT_EQ(indexOf(9, 0), 4);
    EXPECT_EQ(indexOf(0, 8), 5);
    EXPECT_EQ(indexOf(1, 8), 6);
    EXPECT_EQ(indexOf(30, 31), 7);
    EXPECT_EQ(indexOf(31, 31), 8);
    EXPECT_EQ(indexOf(2, 0), 15);
    EXPECT_EQ(indexOf(0, 1), 15);
    EXPECT_FALSE(flag);
}

TEST(PopulateNDSBanner, FlagIsSetExactlyWhenSomePixelHasIndexZero)
{
    BannerFields banner;
    banner.palette[0] = 0x001F; // red
    banner.palette[1] = 0x7C00; // blue
    banner.palette[5] = 0x03E0; // green
    banner.palette[6] = 0x03E0; // green again, under another index
    banner.icon.fill(0x11);
    EXPECT_FALSE(decodeBanner(banner).hasTransparency);

    // Only a middle pixel has index 0; the bottom-left one has index 5, so the transparent key
    // is green, which index 6 shares.
    setIndex(banner.icon, 16, 16, 0);
    setIndex(banner.icon, 0, 31, 5);
    setIndex(banner.icon, 3, 3, 6);
    const Decoded d = decodeBanner(banner);
    EXPECT_TRUE(d.hasTransparency);
    EXPECT_EQ(d.picture.at(16, 16), (Rgb{248, 0, 0}));
    EXPECT_EQ(d.picture.transparentKey(), (Rgb{0, 248, 0}));
    EXPECT_EQ(d.picture.at(3, 3), d.picture.transparentKey());
}

TEST(IndexToPix, PaintsOnePixelAndIgnoresWhatLiesOutside)
{
    TNDSBanner banner;
    banner.Palette[3] = {.Blue = 8, .Green = 16, .Red = 248};
    banner.Palette[15] = {.Blue = 248};
    IconPicture picture;
    bool flag = false;
    IndexToPix(3, banner, picture, 5, 6, flag);
    EXPECT_EQ(picture.at(5, 6), (Rgb{248, 16, 8}));
    IndexToPix(15, banner, picture, 31, 31, flag);
    EXPECT_EQ(picture.at(31, 31), (Rgb{0, 0, 248}));
    const IconPicture before = picture;
    IndexToPix(16, banner, picture, 0, 0, flag);
    IndexToPix(-1, banner, picture, 0, 0, flag);
    IndexToPix(3, banner, picture, 32, 0, flag);
    IndexToPix(3, banner, picture, 0, -1, flag);
    EXPECT_EQ(picture.pixels, before.pixels);
    EXPECT_FALSE(flag);
    IndexToPix(0, banner, picture, 0, 0, flag);
    EXPECT_TRUE(flag);
}

TEST(PopulateNDSBanner, BannerPastTheEndGivesBlankIconAndTitles)
{
    ImageBuilder builder;
    builder.banner(fixture::sampleBanner());
    const Bytes image = builder.build();
    expectBlankBanner(decodeAt(image, kPastEnd));
    expectBlankBanner(decodeAt(image, image.size()));
    expectBlankBanner(decodeAt(image, image.size() + 1));

    // The same through a real file.
    fixture::TempDir dir;
    fixture::writeFile(dir.file("x.nds"), image);
    FileStream file(dir.file("x.nds"));
    BannerRecord record;
    PopulateNDSBanner(file, record, kPastEnd);
    expectBlankBanner({record.original, record.icon, record.hasTransparency});
}

TEST(PopulateNDSBanner, CutBannerKeepsWhatWasDelivered)
{
    BannerFields banner = fixture::sampleBanner();
    banner.palette[0] = 0x7C1F;
    ImageBuilder builder;
    builder.banner(banner);
    Bytes image = builder.build();
    const std::size_t at = builder.layout().bannerOffset;

    // Image ends after the low byte of palette word 0: that word keeps its low byte (red 248).
    const Decoded half =
        decodeAt(Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(at + 0x221)), at);
    EXPECT_EQ(half.banner.IconData, banner.icon);
    EXPECT_EQ(half.banner.Palette[0], (TPixelDataDec{.Red = 248}));
    EXPECT_EQ(half.banner.Palette[1], TPixelDataDec{});
    EXPECT_TRUE(titleText(half.banner, 0).empty());

    // Image ends two code units into the English title.
    const Decoded cut =
        decodeAt(Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(at + 0x344)), at);
    EXPECT_EQ(titleText(cut.banner, 0), banner.titles[0]);
    EXPECT_EQ(titleText(cut.banner, 1), u"Ca");
    EXPECT_TRUE(titleText(cut.banner, 2).empty());
}

TEST(PopulateNDSBanner, OffsetZeroReadsTheHeaderAsABanner)
{
    ImageBuilder builder;
    builder.noBanner();
    const Bytes image = builder.build();
    const Decoded d = decodeAt(image, 0);
    EXPECT_TRUE(std::equal(d.banner.BannerHead.begin(), d.banner.BannerHead.end(), image.begin()));
    EXPECT_TRUE(
        std::equal(d.banner.IconData.begin(), d.banner.IconData.end(), image.begin() + 0x20));
}

TEST(PopulateNDSBanner, FullTitleSlotIsWholeAndEmptySlotIsEmpty)
{
    BannerFields banner;
    banner.titles[2] = std::u16string(128, u'\u00E9');
    banner.titles[3] = u"";
    const Decoded d = decodeBanner(banner);
    EXPECT_EQ(titleText(d.banner, 2), std::u16string(128, u'\u00E9'));
    EXPECT_TRUE(titleText(d.banner, 3).empty());

    // A record filled by other means with no zero at all: the text still ends with the slot.
    TNDSBanner full;
    full.Titles[0].fill(u'x');
    EXPECT_EQ(titleText(full, 0).size(), 256u);
}

} // namespace
} // namespace cartscope::core
