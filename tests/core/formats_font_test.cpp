#include <string>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/formats/font.h"
#include "tests/fixture/formats_builder.h"

namespace cartscope::core {
namespace {

using fixture::Bytes;

// Packs pixel values most significant bit first, rows running on: the glyph layout written
// out independently of the decoder.
Bytes packGlyph(const std::vector<unsigned>& values, int bpp, std::size_t bytes)
{
    Bytes out(bytes, 0);
    std::size_t bit = 0;
    for (const unsigned v : values) {
        for (int b = bpp - 1; b >= 0; --b, ++bit) {
            if ((v >> b) & 1u)
                out[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
        }
    }
    return out;
}

std::vector<unsigned> glyphValues(unsigned seed, unsigned cells, int bpp)
{
    std::vector<unsigned> v(cells);
    for (unsigned i = 0; i < cells; ++i)
        v[i] = (i * 7 + seed * 3 + i / 5) % (1u << bpp);
    return v;
}

TEST(DecodeNftr, GlyphsOfEveryDepthDrawAsGreyLevels)
{
    for (const int bpp : {1, 2, 4}) {
        SCOPED_TRACE(bpp);
        fixture::FontFields fields;
        fields.cellWidth = 6;
        fields.cellHeight = 5;
        fields.bitsPerPixel = bpp;
        fields.glyphBytes = static_cast<std::uint16_t>((6 * 5 * bpp + 7) / 8);
        std::vector<std::vector<unsigned>> glyphs;
        for (unsigned g = 0; g < 18; ++g) {
            glyphs.push_back(glyphValues(g, 30, bpp));
            fields.glyphs.push_back(packGlyph(glyphs.back(), bpp, fields.glyphBytes));
        }
        const Font font = decodeNftr(fixture::nftrFile(fields), "f.NFTR");
        ASSERT_EQ(font.glyphCount, 18u);
        const RgbaImage sheet = renderGlyphSheet(font);
        ASSERT_EQ(sheet.width, 16u * 6);
        ASSERT_EQ(sheet.height, 2u * 5);
        const unsigned max = (1u << bpp) - 1;
        for (unsigned g = 0; g < 18; ++g) {
            for (unsigned p = 0; p < 30; ++p) {
                const std::uint8_t* px = sheet.at((g % 16) * 6 + p % 6, (g / 16) * 5 + p / 6);
                const unsigned v = glyphs[g][p];
                ASSERT_EQ(px[3], v == 0 ? 0 : 255) << g << "/" << p;
                if (v != 0) {
                    ASSERT_EQ(px[0], 255 - 255 * v / max) << g << "/" << p;
                }
            }
        }
    }
}

TEST(DecodeNftr, AllThreeMapFormsAndWidthsMeetInTheKey)
{
    fixture::FontFields fields;
    fields.glyphs.assign(8, Bytes(16, 0));
    fields.firstWidth = 2;
    fields.widths = {{0xFF, 5, 6}, {1, 7, 8}};
    fields.maps = {
        {0, 0x41, 0x43, {1}},            // A B C: glyphs 1 2 3
        {1, 0x61, 0x63, {4, 0xFFFF, 5}}, // a, (b none), c: glyphs 4 and 5
        {2, 0, 0, {0x3042, 6, 0x20, 7}}, // scan: U+3042 -> 6, space -> 7
        {0, 0x41, 0x41, {0}},            // a later map does not replace A
        {0, 0x100, 0x1FF, {200}},        // glyphs past the end are left out
    };
    const Font font = decodeNftr(fixture::nftrFile(fields), "f");
    std::vector<std::pair<unsigned, unsigned>> codes;
    for (const CodeGlyph& c : font.codes)
        codes.emplace_back(c.code, c.glyph);
    EXPECT_EQ(codes,
              (std::vector<std::pair<unsigned, unsigned>>{
                  {0x20, 7}, {0x41, 1}, {0x42, 2}, {0x43, 3}, {0x61, 4}, {0x63, 5}, {0x3042, 6}}));
    EXPECT_EQ(font.widths[2].left, -1);
    EXPECT_EQ(font.widths[3].advance, 8);
    EXPECT_EQ(font.widths[1].width, 8); // the default width from FINF
    const std::string json = glyphSheetJson(font);
    EXPECT_NE(json.find("\"encoding\": \"UTF-16\", \"cellWidth\": 8, \"cellHeight\": 8, "
                        "\"columns\": 16, \"lineFeed\": 10"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"code\": 66, \"cell\": 2, \"left\": -1, \"width\": 5, \"advance\": 6}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"code\": 12354, \"cell\": 6,"), std::string::npos) << json;
}

} // namespace
} // namespace cartscope::core
