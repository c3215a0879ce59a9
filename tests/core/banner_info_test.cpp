#include <gtest/gtest.h>

#include "core/banner/banner_info.h"
#include "core/banner/banner_record.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using fixture::VersionedBanner;

fixture::VersionedBanner versioned(std::uint16_t version)
{
    VersionedBanner v;
    v.version = version;
    v.base = fixture::sampleBanner();
    v.chinese = u"\u5361\u5E26\u955C"; // three CJK ideographs
    v.korean = u"\uCE74\uD2B8\uC2A4\uCF54\uD504";
    return v;
}

struct Read {
    Bytes image;
    std::uint32_t bannerAt = 0;
    BannerInfo info;
};

Read readImage(const ImageBuilder& builder)
{
    Read r;
    r.image = builder.build();
    r.bannerAt = builder.layout().bannerOffset;
    MemoryStream stream(r.image);
    r.info = decodeBanner(RawBanner::read(stream, r.bannerAt)).info;
    return r;
}

Read readBlock(const Bytes& block)
{
    return readImage(ImageBuilder().rawBanner(block));
}

std::vector<std::string> ranges(const BannerInfo& info)
{
    std::vector<std::string> r;
    for (const auto& c : info.crcs)
        r.push_back(c.rangeText());
    return r;
}

TEST(BannerInfo, EachVersionHasItsSizeCrcsAndTitles)
{
    struct Case {
        std::uint16_t version;
        std::uint64_t size;
        std::vector<std::string> ranges;
        int slots;
    };
    const std::vector<Case> cases = {
        {0x0001, 0x840, {"020-83F"}, 6},
        {0x0002, 0x940, {"020-83F", "020-93F"}, 7},
        {0x0003, 0xA40, {"020-83F", "020-93F", "020-A3F"}, 8},
        {0x0103, 0x23C0, {"020-83F", "020-93F", "020-A3F", "1240-23BF"}, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        const Read r = readBlock(fixture::bannerBlock(versioned(c.version)));
        const BannerInfo& info = r.info;
        EXPECT_EQ(info.version, c.version);
        EXPECT_TRUE(info.knownVersion);
        EXPECT_EQ(info.size, c.size);
        EXPECT_EQ(info.bytesInFile, c.size);
        EXPECT_FALSE(info.truncated());
        EXPECT_EQ(info.status(), "");
        EXPECT_EQ(ranges(info), c.ranges);
        for (const auto& crc : info.crcs) {
            EXPECT_TRUE(crc.ok()) << crc.rangeText();
            EXPECT_EQ(crc.storedText(), crc.computedText());
            EXPECT_EQ(crc.verdict(), "OK");
        }
        EXPECT_EQ(info.titles[1], u"Cartscope Sample\nHomebrew Test Image");
        EXPECT_EQ(info.titles[6], c.slots >= 7 ? u"\u5361\u5E26\u955C" : u"");
        EXPECT_EQ(info.titles[7], c.slots >= 8 ? u"\uCE74\uD2B8\uC2A4\uCF54\uD504" : u"");
        for (int s = 0; s < 8; ++s)
            EXPECT_EQ(info.hasSlot[static_cast<std::size_t>(s)], s < c.slots);
    }
}

TEST(BannerInfo, CrcTextsAreFourUpperCaseDigitsAgainstAnIndependentCrc)
{
    Bytes block = fixture::bannerBlock(versioned(0x0001));
    block[0x02] = 0xAB;
    block[0x03] = 0x0C; // stored 0CAB
    const Read r = readBlock(block);
    ASSERT_EQ(r.info.crcs.size(), 1u);
    const std::uint16_t expected = fixture::crc16Modbus(block.data() + 0x20, 0x820);
    EXPECT_EQ(r.info.crcs[0].computed, expected);
    EXPECT_EQ(r.info.crcs[0].storedText(), "0CAB");
    EXPECT_FALSE(r.info.crcs[0].ok());
    EXPECT_EQ(r.info.crcs[0].verdict(), "BAD");
}

TEST(BannerInfo, AChangeInOneRangeBreaksOnlyTheCrcsThatCoverIt)
{
    // A Korean title edited after the CRCs were stamped (a repack tool's classic fault).
    Bytes korean = fixture::bannerBlock(versioned(0x0003));
    korean[0x940] ^= 0x01;
    const Read k = readBlock(korean);
    ASSERT_EQ(k.info.crcs.size(), 3u);
    EXPECT_TRUE(k.info.crcs[0].ok());
    EXPECT_TRUE(k.info.crcs[1].ok());
    EXPECT_FALSE(k.info.crcs[2].ok());
    // The title is still shown, as read.
    EXPECT_EQ(k.info.titles[7][0], static_cast<char16_t>(0xCE75));

    // An animation palette edited: only the animated-icon CRC breaks.
    VersionedBanner v = versioned(0x0103);
    v.animation.sequence = {0x0105};
    Bytes animated = fixture::bannerBlock(v);
    animated[0x2240] ^= 0x10;
    const Read a = readBlock(animated);
    ASSERT_EQ(a.info.crcs.size(), 4u);
    EXPECT_TRUE(a.info.crcs[0].ok() && a.info.crcs[1].ok() && a.info.crcs[2].ok());
    EXPECT_FALSE(a.info.crcs[3].ok());

    // An icon pixel edited: every CRC over 0x020 on breaks, the animated one does not.
    Bytes icon = fixture::bannerBlock(v);
    icon[0x20] ^= 0xFF;
    const Read i = readBlock(icon);
    EXPECT_FALSE(i.info.crcs[0].ok() || i.info.crcs[1].ok() || i.info.crcs[2].ok());
    EXPECT_TRUE(i.info.crcs[3].ok());
}

TEST(BannerInfo, UnknownVersionShowsSixTitlesAndSaysSo)
{
    for (std::uint16_t version : {0x0000, 0x0004, 0x0102, 0xFFFF}) {
        SCOPED_TRACE(version);
        VersionedBanner v = versioned(0x0003);
        Bytes block = fixture::bannerBlock(v);
        block[0] = static_cast<std::uint8_t>(version);
        block[1] = static_cast<std::uint8_t>(version >> 8);
        const Read r = readBlock(block);
        EXPECT_FALSE(r.info.knownVersion);
        EXPECT_EQ(r.info.size, 0x840u);
        EXPECT_TRUE(r.info.crcs.empty());
        EXPECT_EQ(r.info.status(), "unknown banner version");
        EXPECT_EQ(r.info.titles[2], u"Exemple Cartscope\nImage de test");
        EXPECT_TRUE(r.info.titles[6].empty()); // the bytes are there, the slot is not
        EXPECT_TRUE(r.info.titles[7].empty());
        EXPECT_FALSE(r.info.animated);
    }
}

TEST(BannerInfo, TruncatedBannerShowsWhatIsThereAndSaysSo)
{
    // A 0x0103 banner cut 0x100 bytes into its animation bitmaps by the end of the file.
    VersionedBanner v = versioned(0x0103);
    v.animation.sequence = {0x0101};
    const Bytes block = fixture::bannerBlock(v);
    ImageBuilder builder;
    builder.rawBanner(block);
    const Bytes full = builder.build();
    const std::uint32_t at = builder.layout().bannerOffset;
    const Bytes cut(full.begin(), full.begin() + at + 0x1340);
    MemoryStream stream(cut);
    const BannerInfo info = decodeBanner(RawBanner::read(stream, at)).info;
    EXPECT_TRUE(info.knownVersion);
    EXPECT_TRUE(info.truncated());
    EXPECT_EQ(info.bytesInFile, 0x1340u);
    EXPECT_EQ(info.status(), "banner cut short by the end of the file: 4928 of 9152 bytes");
    ASSERT_EQ(info.crcs.size(), 4u);
    EXPECT_TRUE(info.crcs[2].ok()); // 0x020-0xA3F lies inside the file
    EXPECT_FALSE(info.crcs[3].complete);
    EXPECT_FALSE(info.crcs[3].ok());
    EXPECT_EQ(info.titles[7], u"\uCE74\uD2B8\uC2A4\uCF54\uD504");
    // The sequence lies past the end: it reads as an immediate end, nothing to animate.
    EXPECT_FALSE(info.animated);

    // Cut inside the Korean title of a version 3 banner: its CRC is incomplete, the title
    // shows the units that are there.
    VersionedBanner k = versioned(0x0003);
    ImageBuilder kb;
    kb.rawBanner(fixture::bannerBlock(k));
    const Bytes kfull = kb.build();
    const std::uint32_t kat = kb.layout().bannerOffset;
    const Bytes kcut(kfull.begin(), kfull.begin() + kat + 0x944);
    MemoryStream kstream(kcut);
    const BannerInfo kinfo = decodeBanner(RawBanner::read(kstream, kat)).info;
    EXPECT_EQ(kinfo.titles[7], u"\uCE74\uD2B8");
    EXPECT_TRUE(kinfo.crcs[1].ok());
    EXPECT_FALSE(kinfo.crcs[2].ok());

    // Missing exactly the last byte of its range, a zero, so the zero fill gives the stored CRC:
    // still incomplete and never OK.
    ImageBuilder ob;
    ob.rawBanner(fixture::bannerBlock(versioned(0x0001)));
    const Bytes ofull = ob.build();
    const std::uint32_t oat = ob.layout().bannerOffset;
    ASSERT_EQ(ofull.at(oat + 0x83F), 0);
    const Bytes ocut(ofull.begin(), ofull.begin() + oat + 0x83F);
    MemoryStream ostream(ocut);
    const BannerInfo oinfo = decodeBanner(RawBanner::read(ostream, oat)).info;
    ASSERT_EQ(oinfo.crcs.size(), 1u);
    EXPECT_EQ(oinfo.crcs[0].computed, oinfo.crcs[0].stored);
    EXPECT_FALSE(oinfo.crcs[0].complete);
    EXPECT_FALSE(oinfo.crcs[0].ok());
    EXPECT_EQ(oinfo.crcs[0].verdict(), "BAD");
}

TEST(BannerInfo, BannerPastTheEndOrOnTinyInputs)
{
    const Bytes empty;
    MemoryStream none(empty);
    const BannerInfo a = decodeBanner(RawBanner::read(none, 0)).info;
    EXPECT_EQ(a.bytesInFile, 0u);
    EXPECT_FALSE(a.knownVersion);
    EXPECT_EQ(a.status(), "unknown banner version; banner lies past the end of the file");

    const Bytes few = {0x03, 0x00, 0x12};
    MemoryStream small(few);
    const BannerInfo b = decodeBanner(RawBanner::read(small, 0)).info;
    EXPECT_EQ(b.version, 3);
    EXPECT_EQ(b.bytesInFile, 3u);
    for (const auto& crc : b.crcs)
        EXPECT_FALSE(crc.ok());

    const BannerInfo c = decodeBanner(RawBanner::read(small, std::uint64_t{1} << 62)).info;
    EXPECT_EQ(c.bytesInFile, 0u);
    EXPECT_TRUE(c.titles[0].empty());
}

TEST(BannerInfo, TitlesStopAtZeroOrAfter128Units)
{
    VersionedBanner v = versioned(0x0003);
    v.chinese = std::u16string(128, u'\u4E2D'); // no terminator within the slot
    v.korean = u"";
    Bytes block = fixture::bannerBlock(v);
    const Read r = readBlock(block);
    EXPECT_EQ(r.info.titles[6].size(), 128u);
    EXPECT_TRUE(r.info.titles[7].empty());
}

// ---- The animated icon

constexpr std::uint16_t token(int ticks, int bitmap, int palette, bool flipH, bool flipV)
{
    return static_cast<std::uint16_t>(ticks | (bitmap << 8) | (palette << 11) |
                                      (flipH ? 0x4000 : 0) | (flipV ? 0x8000 : 0));
}

Rgb colourOf(std::uint16_t w)
{
    return Rgb{static_cast<std::uint8_t>((w & 31) * 8),
               static_cast<std::uint8_t>(((w >> 5) & 31) * 8),
               static_cast<std::uint8_t>(((w >> 10) & 31) * 8)};
}

// Bitmap b: index b + 1 at (b + 2, 0), index 2 at (1, 2), index 5 everywhere else except the
// top-left pixel, which is index 0 (so flips move a known clear pixel).
fixture::AnimationFields animationFields(std::vector<std::uint16_t> sequence)
{
    fixture::AnimationFields a;
    for (int b = 0; b < 8; ++b) {
        auto& bitmap = a.bitmaps[static_cast<std::size_t>(b)];
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                fixture::setIconIndex(bitmap, x, y, 5);
        fixture::setIconIndex(bitmap, 0, 0, 0);
        fixture::setIconIndex(bitmap, b + 2, 0, b + 1);
        fixture::setIconIndex(bitmap, 1, 2, 2);
        for (int c = 0; c < 16; ++c)
            a.palettes[static_cast<std::size_t>(b)][static_cast<std::size_t>(c)] =
                static_cast<std::uint16_t>((c + 1) | (b << 5) | (3 << 10));
    }
    a.sequence = std::move(sequence);
    return a;
}

BannerInfo animatedInfo(std::vector<std::uint16_t> sequence)
{
    VersionedBanner v = versioned(0x0103);
    v.animation = animationFields(std::move(sequence));
    return readBlock(fixture::bannerBlock(v)).info;
}

TEST(AnimatedIcon, SequenceTokensAreDecodedUpToTheEnd)
{
    const BannerInfo info =
        animatedInfo({token(5, 0, 0, false, false), token(0, 3, 2, true, false),
                      token(200, 7, 7, false, true), 0x0000, token(9, 1, 1, true, true)});
    EXPECT_TRUE(info.animated);
    EXPECT_TRUE(info.animation.ended);
    ASSERT_EQ(info.animation.sequence.size(), 3u); // the token after the end is not read
    const AnimationToken& t = info.animation.sequence[1];
    EXPECT_EQ(t.ticks, 0);
    EXPECT_EQ(t.bitmap, 3);
    EXPECT_EQ(t.palette, 2);
    EXPECT_TRUE(t.flipH);
    EXPECT_FALSE(t.flipV);
    EXPECT_TRUE(info.animation.sequence[2].flipV);
    EXPECT_EQ(info.animation.sequence[2].ticks, 200);
}

TEST(AnimatedIcon, SequenceWithoutAnEndStopsAt64Tokens)
{
    const BannerInfo info =
        animatedInfo(std::vector<std::uint16_t>(64, token(1, 2, 3, false, false)));
    EXPECT_FALSE(info.animation.ended);
    EXPECT_EQ(info.animation.sequence.size(), 64u);
    EXPECT_EQ(decodeAnimation(info.animation).size(), 64u);
}

TEST(AnimatedIcon, AnEmptySequenceIsNotAnimated)
{
    const BannerInfo info = animatedInfo({});
    EXPECT_TRUE(info.animation.ended);
    EXPECT_FALSE(info.animated);
    EXPECT_TRUE(decodeAnimation(info.animation).empty());
}

TEST(AnimatedIcon, FramesApplyBitmapPaletteFlipsAndDuration)
{
    const BannerInfo info = animatedInfo({token(5, 0, 0, false, false), token(0, 3, 2, true, false),
                                          token(7, 1, 6, false, true), token(1, 2, 4, true, true)});
    const auto frames = decodeAnimation(info.animation);
    ASSERT_EQ(frames.size(), 4u);
    const auto& palettes = info.animation.palettes;

    // Frame 0: upright bitmap 0, palette 0.
    EXPECT_EQ(frames[0].ticks, 5);
    EXPECT_TRUE(frames[0].isClear(0, 0));
    EXPECT_EQ(frames[0].picture.at(0, 0), colourOf(palettes[0][0]));
    EXPECT_EQ(frames[0].picture.at(1, 2), colourOf(palettes[0][2]));
    EXPECT_EQ(frames[0].picture.at(20, 20), colourOf(palettes[0][5]));
    EXPECT_FALSE(frames[0].isClear(20, 20));

    // Frame 1: zero duration shows for one tick; bitmap 3 mirrored left to right, palette 2.
    EXPECT_EQ(frames[1].ticks, 1);
    EXPECT_TRUE(frames[1].isClear(31, 0));
    EXPECT_FALSE(frames[1].isClear(0, 0));
    EXPECT_EQ(frames[1].picture.at(31 - 5, 0), colourOf(palettes[2][4]));
    EXPECT_EQ(frames[1].picture.at(30, 2), colourOf(palettes[2][2]));

    // Frame 2: bitmap 1 upside down, palette 6.
    EXPECT_TRUE(frames[2].isClear(0, 31));
    EXPECT_EQ(frames[2].picture.at(3, 31), colourOf(palettes[6][2]));
    EXPECT_EQ(frames[2].picture.at(1, 29), colourOf(palettes[6][2]));

    // Frame 3: bitmap 2 turned both ways, palette 4.
    EXPECT_TRUE(frames[3].isClear(31, 31));
    EXPECT_EQ(frames[3].picture.at(31 - 4, 31), colourOf(palettes[4][3]));
    EXPECT_EQ(frames[3].picture.at(30, 29), colourOf(palettes[4][2]));
    std::size_t clearCount = 0;
    for (bool c : frames[3].clear)
        clearCount += c ? 1 : 0;
    EXPECT_EQ(clearCount, 1u);
}

} // namespace
} // namespace cartscope::core
