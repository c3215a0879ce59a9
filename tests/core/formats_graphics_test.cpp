#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "core/banner/png.h"
#include "core/base/error.h"
#include "core/formats/graphics.h"
#include "tests/fixture/formats_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;

struct Px {
    std::uint8_t r = 0, g = 0, b = 0, a = 0;
    bool operator==(const Px&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Px& p)
{
    return os << "rgba(" << int{p.r} << "," << int{p.g} << "," << int{p.b} << "," << int{p.a}
              << ")";
}

Px pixelOf(const RgbaImage& image, std::uint32_t x, std::uint32_t y)
{
    const std::uint8_t* p = image.at(x, y);
    return {p[0], p[1], p[2], p[3]};
}

// The independent decoding: a BGR555 colour widened to 8 bits per channel, index 0 clear, and
// the palette index a tile picture holds at (x, y) read straight from the packed bytes.
Px expected(const std::vector<std::uint16_t>& colours, std::size_t index, bool clear)
{
    if (clear || index >= colours.size())
        return {};
    // Five bits widened by repeating their top bits below them: 31 gives 255.
    const auto w = [](unsigned c) { return static_cast<std::uint8_t>(c * 8 + c / 4); };
    const std::uint16_t c = colours[index];
    return {w(c & 31u), w((c >> 5) & 31u), w((c >> 10) & 31u), 255};
}

unsigned packedIndex(const Bytes& data, int bpp, bool linear, unsigned widthTiles, unsigned x,
                     unsigned y)
{
    std::size_t i = linear ? std::size_t{y} * widthTiles * 8 + x
                           : ((y / 8) * widthTiles + x / 8) * 64 + (y % 8) * 8 + x % 8;
    if (bpp == 8)
        return i < data.size() ? data[i] : 0;
    return i / 2 < data.size() ? (data[i / 2] >> (4 * (i % 2))) & 15u : 0;
}

std::vector<std::uint16_t> colourRamp(std::size_t n)
{
    std::vector<std::uint16_t> c(n);
    for (std::size_t i = 0; i < n; ++i)
        c[i] = static_cast<std::uint16_t>((i * 0x1234 + 0x0421 * (i % 7)) & 0x7FFF);
    return c;
}

TEST(RenderGraphics, EveryPixelMatchesTheIndependentDecoding)
{
    struct Case {
        int bpp;
        bool linear;
        unsigned widthTiles, heightTiles, paletteNumber;
    };
    for (const Case c : {Case{4, false, 3, 2, 1}, Case{8, false, 2, 2, 0}, Case{4, true, 2, 3, 2},
                         Case{8, true, 3, 1, 0}}) {
        SCOPED_TRACE(std::to_string(c.bpp) + (c.linear ? " linear" : " tiled"));
        const Bytes data = fixture::pattern(c.widthTiles * c.heightTiles * 8 * c.bpp, 3);
        const auto colours = colourRamp(256);
        const Palette palette = decodeNclr(fixture::nclrFile(c.bpp, colours), "p.NCLR");
        const Graphics g = decodeNcgr(
            fixture::ncgrFile(c.bpp, static_cast<std::uint16_t>(c.widthTiles),
                              static_cast<std::uint16_t>(c.heightTiles), c.linear, 0x10, data),
            "g.NCGR");
        const RgbaImage image = renderGraphics(g, palette, c.paletteNumber);
        ASSERT_EQ(image.width, c.widthTiles * 8);
        ASSERT_EQ(image.height, c.heightTiles * 8);
        for (std::uint32_t y = 0; y < image.height; ++y) {
            for (std::uint32_t x = 0; x < image.width; ++x) {
                const unsigned v = packedIndex(data, c.bpp, c.linear, c.widthTiles, x, y);
                const std::size_t colour = c.paletteNumber * (c.bpp == 8 ? 256u : 16u) + v;
                ASSERT_EQ(pixelOf(image, x, y), expected(colours, colour, v == 0)) << x << "," << y;
            }
        }
    }
}

TEST(RenderGraphics, UnknownSizeIsLaidOutThirtyTwoTilesAcross)
{
    const Bytes data = fixture::pattern(40 * 32, 9);
    const Graphics g = decodeNcgr(fixture::ncgrFile(4, 0xFFFF, 0xFFFF, false, 0x10, data), "g");
    EXPECT_FALSE(g.sizeKnown);
    EXPECT_EQ(g.tileCount, 40u);
    EXPECT_EQ(g.widthTiles, 32u);
    EXPECT_EQ(g.heightTiles, 2u);
    // Tile 33 is the second of the second row; the row's empty rest is clear.
    const auto colours = colourRamp(16);
    const RgbaImage image = renderGraphics(g, decodeNclr(fixture::nclrFile(4, colours), "p"));
    const unsigned v = (data[33 * 32] & 15u);
    EXPECT_EQ(pixelOf(image, 8, 8), expected(colours, v, v == 0));
    EXPECT_EQ(pixelOf(image, 255, 15), Px{});
}

TEST(RenderScreen, EntriesPickTileFlipsAndPalette)
{
    // Two tiles of varied indices; four entries: plain, h-flipped, v-flipped with palette 2,
    // both flips with palette 1 on tile 1.
    const Bytes data = fixture::pattern(2 * 32, 5);
    const auto colours = colourRamp(64);
    const Palette palette = decodeNclr(fixture::nclrFile(4, colours), "p");
    const Graphics g = decodeNcgr(fixture::ncgrFile(4, 2, 1, false, 0x10, data), "g");
    const std::vector<std::uint16_t> entries = {0x0000, 0x0400, 0x2800, 0x1C01};
    const RgbaImage image =
        renderScreen(decodeNscr(fixture::nscrFile(16, 16, entries), "s"), g, palette);
    ASSERT_EQ(image.width, 16u);
    for (std::uint32_t y = 0; y < 16; ++y) {
        for (std::uint32_t x = 0; x < 16; ++x) {
            const std::uint16_t e = entries[(y / 8) * 2 + x / 8];
            const unsigned tx = (e & 0x400) ? 7 - x % 8 : x % 8;
            const unsigned ty = (e & 0x800) ? 7 - y % 8 : y % 8;
            const unsigned v = packedIndex(data, 4, false, 2, (e & 0x3FF) * 8 + tx, ty);
            ASSERT_EQ(pixelOf(image, x, y), expected(colours, (e >> 12) * 16u + v, v == 0))
                << x << "," << y;
        }
    }
}

TEST(DecodeNclr, CompressedPaletteIsPlacedByItsIds)
{
    // Two stored palettes named 2 and 5: palette 5's colour 3 is the second stored palette's.
    const auto colours = colourRamp(32);
    const Palette p = decodeNclr(fixture::nclrFile(4, colours, {2, 5}), "p");
    ASSERT_EQ(p.colours.size(), 256u);
    EXPECT_EQ(p.colours[5 * 16 + 3], colours[16 + 3]);
    EXPECT_EQ(p.colours[2 * 16 + 1], colours[1]);
    EXPECT_TRUE(p.present[5 * 16 + 3]);
    EXPECT_FALSE(p.present[0 * 16 + 3]);
    // A screen in palette 0, which the file does not hold, is clear.
    const Graphics g = decodeNcgr(fixture::ncgrFile(4, 1, 1, false, 0x10, Bytes(32, 0x11)), "g");
    const RgbaImage missing =
        renderScreen(decodeNscr(fixture::nscrFile(8, 8, {0x0000}), "s"), g, p);
    EXPECT_EQ(pixelOf(missing, 0, 0), Px{});
    const RgbaImage held = renderScreen(decodeNscr(fixture::nscrFile(8, 8, {0x5000}), "s"), g, p);
    EXPECT_EQ(pixelOf(held, 0, 0), expected(colours, 16 + 1, false));
}

// Solid tiles: tile t is all index t + 1, so an object's tiles show as blocks of colour.
struct SolidTiles {
    std::vector<std::uint16_t> colours = colourRamp(16);
    Palette palette = decodeNclr(fixture::nclrFile(4, colours), "p");
    Graphics graphics;
    explicit SolidTiles(std::uint32_t mapping = 0x10)
    {
        Bytes data;
        for (std::uint8_t t = 0; t < 12; ++t)
            data.insert(data.end(), 32, static_cast<std::uint8_t>((t + 1) * 0x11));
        graphics = decodeNcgr(fixture::ncgrFile(4, 12, 1, false, mapping, data), "g");
    }
    Px tile(unsigned t) const { return expected(colours, t + 1, false); }
};

TEST(RenderCell, ObjectsAreFlippedPlacedAndTheFirstDrawnOnTop)
{
    const SolidTiles s;
    // A 16x16 object (square, size 1) at (-8, -8), flipped horizontally, tiles 0..3; an 8x8
    // object at (0, 0) on tile 5, listed first so it covers the big one's bottom-right quarter.
    const std::vector<fixture::OamFields> objects = {
        {0x0000, 0x0000, 0x0005},
        {0x00F8, static_cast<std::uint16_t>(0x4000 | 0x1000 | 0x1F8), 0x0000},
    };
    const Cells cells = decodeNcer(fixture::ncerFile({objects}), "c");
    const RgbaImage image = renderCell(cells, 0, s.graphics, s.palette);
    ASSERT_EQ(image.width, 16u);
    ASSERT_EQ(image.height, 16u);
    EXPECT_EQ(pixelOf(image, 0, 0), s.tile(1)); // flipped: the top row reads tiles 1, 0
    EXPECT_EQ(pixelOf(image, 15, 0), s.tile(0));
    EXPECT_EQ(pixelOf(image, 0, 15), s.tile(3));
    EXPECT_EQ(pixelOf(image, 15, 15), s.tile(5)); // the first object on top
}

TEST(RenderCell, ShapesAndSizesGiveTheHardwareDimensions)
{
    const SolidTiles s;
    const unsigned dims[3][4][2] = {{{8, 8}, {16, 16}, {32, 32}, {64, 64}},
                                    {{16, 8}, {32, 8}, {32, 16}, {64, 32}},
                                    {{8, 16}, {8, 32}, {16, 32}, {32, 64}}};
    for (unsigned shape = 0; shape < 3; ++shape) {
        for (unsigned size = 0; size < 4; ++size) {
            const fixture::OamFields o{static_cast<std::uint16_t>(shape << 14),
                                       static_cast<std::uint16_t>(size << 14), 0};
            const RgbaImage image =
                renderCell(decodeNcer(fixture::ncerFile({{o}}), "c"), 0, s.graphics, s.palette);
            EXPECT_EQ(image.width, dims[shape][size][0]) << shape << "/" << size;
            EXPECT_EQ(image.height, dims[shape][size][1]) << shape << "/" << size;
        }
    }
}

TEST(RenderCell, TileIndexFollowsTheMapping)
{
    // One-dimensional with boundary shift 1: tile index 2 counts 64-byte units, so tile 4.
    const SolidTiles oneD;
    const fixture::OamFields o{0x4000, 0x0000, 0x0002}; // 16x8
    const RgbaImage shifted =
        renderCell(decodeNcer(fixture::ncerFile({{o}}, 1), "c"), 0, oneD.graphics, oneD.palette);
    EXPECT_EQ(pixelOf(shifted, 0, 0), oneD.tile(4));
    EXPECT_EQ(pixelOf(shifted, 8, 0), oneD.tile(5));
    // Two-dimensional: a 8x16 object's second row is the next row of the 12-tile-wide graphics,
    // which this one-row picture does not have (clear).
    const SolidTiles twoD(0);
    const fixture::OamFields tall{0x8000, 0x0000, 0x0003};
    const RgbaImage rows =
        renderCell(decodeNcer(fixture::ncerFile({{tall}}), "c"), 0, twoD.graphics, twoD.palette);
    EXPECT_EQ(pixelOf(rows, 0, 0), twoD.tile(3));
    EXPECT_EQ(pixelOf(rows, 0, 8), Px{});
}

TEST(RenderCellSheet, CellsSitInEqualSlots)
{
    const SolidTiles s;
    const std::vector<std::vector<fixture::OamFields>> list = {
        {{0x0000, 0x0000, 0x0001}},                             // 8x8, tile 1
        {{0x0000, 0x4000, 0x0002}},                             // 16x16, tiles 2..5
        {{0x00FC, 0x01FC, 0x0007}},                             // 8x8 at (-4, -4), tile 7
        {},                                                     // empty
        {{static_cast<std::uint16_t>(0x0200), 0x0000, 0x0008}}, // hidden
    };
    const Cells cells = decodeNcer(fixture::ncerFile(list), "c");
    const RgbaImage sheet = renderCellSheet(cells, s.graphics, s.palette);
    // Five cells: three columns of 16x16 slots, two rows.
    ASSERT_EQ(sheet.width, 48u);
    ASSERT_EQ(sheet.height, 32u);
    EXPECT_EQ(pixelOf(sheet, 0, 0), s.tile(1));
    EXPECT_EQ(pixelOf(sheet, 8, 0), Px{});
    EXPECT_EQ(pixelOf(sheet, 16 + 15, 15), s.tile(5));
    EXPECT_EQ(pixelOf(sheet, 32, 0), s.tile(7));
    EXPECT_EQ(pixelOf(sheet, 16, 16), Px{});
    EXPECT_EQ(renderCell(cells, 3, s.graphics, s.palette).width, 1u);
    EXPECT_THROW(renderCell(cells, 5, s.graphics, s.palette), Error);
}

TEST(RenderSequence, FramesShareOneCanvasAndKeepTheirDurations)
{
    const SolidTiles s;
    const Cells cells = decodeNcer(
        fixture::ncerFile({{{0x0000, 0x0000, 0x0001}}, {{0x0000, 0x0000, 0x0002}}}), "c");
    const Animation a =
        decodeNanr(fixture::nanrFile({{{0, 5, 0, 0}, {1, 10, 8, 4}}, {{1, 0, 0, 0}}}, true), "a");
    ASSERT_EQ(a.sequences.size(), 2u);
    const auto frames = renderSequence(a, 0, cells, s.graphics, s.palette);
    ASSERT_EQ(frames.size(), 2u);
    // Cell 0 at (0, 0), cell 1 moved by (8, 4): a 16x12 canvas.
    EXPECT_EQ(frames[0].image.width, 16u);
    EXPECT_EQ(frames[0].image.height, 12u);
    EXPECT_EQ(frames[1].image.width, 16u);
    EXPECT_EQ(pixelOf(frames[0].image, 0, 0), s.tile(1));
    EXPECT_EQ(pixelOf(frames[0].image, 8, 4), Px{});
    EXPECT_EQ(pixelOf(frames[1].image, 8, 4), s.tile(2));
    EXPECT_EQ(pixelOf(frames[1].image, 0, 0), Px{});
    EXPECT_EQ(frames[0].delayNumerator, 5);
    EXPECT_EQ(frames[1].delayNumerator, 10);
    EXPECT_EQ(frames[0].delayDenominator, 60);
    // A zero duration still shows for one tick.
    EXPECT_EQ(renderSequence(a, 1, cells, s.graphics, s.palette)[0].delayNumerator, 1);
    EXPECT_THROW(renderSequence(a, 2, cells, s.graphics, s.palette), Error);
}

TEST(RenderAnimation, EverySequenceFollowsTheOtherOnOneCanvas)
{
    const SolidTiles s;
    const Cells cells = decodeNcer(
        fixture::ncerFile({{{0x0000, 0x0000, 0x0001}}, {{0x0000, 0x0000, 0x0002}}}), "c");
    // The second sequence alone would be 8x8 at the origin; together they need 16x12.
    const Animation a = decodeNanr(
        fixture::nanrFile({{{0, 5, 0, 0}}, {}, {{1, 7, 8, 4}, {0, 9, 0, 0}}}, true), "a");
    const auto frames = renderAnimation(a, cells, s.graphics, s.palette);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
        EXPECT_EQ(f.image.width, 16u);
        EXPECT_EQ(f.image.height, 12u);
    }
    EXPECT_EQ(pixelOf(frames[0].image, 0, 0), s.tile(1));
    EXPECT_EQ(pixelOf(frames[1].image, 8, 4), s.tile(2));
    EXPECT_EQ(pixelOf(frames[2].image, 0, 0), s.tile(1));
    EXPECT_EQ(frames[1].delayNumerator, 7);
    EXPECT_EQ(frames[2].delayNumerator, 9);
    EXPECT_THROW(
        renderAnimation(decodeNanr(fixture::nanrFile({{}, {}}), "e"), cells, s.graphics, s.palette),
        Error);
}

// Inflates the IDAT stream of an 8-bit RGBA PNG written with the Sub filter and undoes the
// filter, reading the chunks directly.
std::vector<std::uint8_t> pngPixels(const Bytes& png, std::uint32_t& width, std::uint32_t& height,
                                    std::vector<std::string>& types)
{
    auto be32 = [&](std::size_t at) {
        return (std::uint32_t{png[at]} << 24) | (std::uint32_t{png[at + 1]} << 16) |
               (std::uint32_t{png[at + 2]} << 8) | png[at + 3];
    };
    Bytes stream;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const std::uint32_t length = be32(at);
        const std::string type(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        types.push_back(type);
        if (type == "IHDR") {
            width = be32(at + 8);
            height = be32(at + 12);
            EXPECT_EQ(png[at + 16], 8);
            EXPECT_EQ(png[at + 17], 6);
        }
        if (type == "IDAT")
            stream.insert(stream.end(), png.begin() + static_cast<std::ptrdiff_t>(at + 8),
                          png.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 12 + length;
    }
    const std::size_t row = 1 + 4 * std::size_t{width};
    Bytes filtered(row * height);
    uLongf size = static_cast<uLongf>(filtered.size());
    EXPECT_EQ(uncompress(filtered.data(), &size, stream.data(), static_cast<uLong>(stream.size())),
              Z_OK);
    std::vector<std::uint8_t> out;
    for (std::uint32_t y = 0; y < height; ++y) {
        EXPECT_EQ(filtered[y * row], 1);
        for (std::size_t i = 0; i < 4 * std::size_t{width}; ++i) {
            const std::uint8_t left = i < 4 ? 0 : out[out.size() - 4];
            out.push_back(static_cast<std::uint8_t>(filtered[y * row + 1 + i] + left));
        }
    }
    return out;
}

TEST(EncodeRgbaPng, HoldsThePicturePixelForPixel)
{
    RgbaImage image(5, 3);
    for (std::size_t i = 0; i < image.rgba.size(); ++i)
        image.rgba[i] = static_cast<std::uint8_t>(i * 37);
    std::uint32_t w = 0, h = 0;
    std::vector<std::string> types;
    EXPECT_EQ(pngPixels(encodeRgbaPng(image), w, h, types), image.rgba);
    EXPECT_EQ(w, 5u);
    EXPECT_EQ(h, 3u);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_THROW(encodeRgbaPng(RgbaImage(0, 4)), Error);
}

TEST(EncodeRgbaAnimatedPng, OneControlChunkPerFrameAndTheFirstInIdat)
{
    std::vector<RgbaFrame> frames(3);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        frames[f].image = RgbaImage(4, 4);
        std::fill(frames[f].image.rgba.begin(), frames[f].image.rgba.end(),
                  static_cast<std::uint8_t>(f * 80));
    }
    std::uint32_t w = 0, h = 0;
    std::vector<std::string> types;
    EXPECT_EQ(pngPixels(encodeRgbaAnimatedPng(frames), w, h, types), frames[0].image.rgba);
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "acTL", "fcTL", "IDAT", "fcTL", "fdAT",
                                               "fcTL", "fdAT", "IEND"}));
    frames[2].image = RgbaImage(4, 5);
    EXPECT_THROW(encodeRgbaAnimatedPng(frames), Error);
    EXPECT_THROW(encodeRgbaAnimatedPng({}), Error);
}

} // namespace
} // namespace cartscope::core
