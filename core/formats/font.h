#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/banner/png.h"

// Fonts (NFTR): glyph bitmaps of 1, 2, 4 or 8 bits per pixel (CGLP), their widths (CWDH) and the
// maps from character codes to glyphs (CMAP, in three forms), drawn as a sheet of glyph cells.
namespace cartscope::core {

struct GlyphWidth {
    int left = 0;             // signed: space before the glyph
    std::uint8_t width = 0;   // the glyph's drawn width
    std::uint8_t advance = 0; // where the next glyph starts
};

enum class FontEncoding : std::uint8_t { Utf8 = 0, Utf16 = 1, ShiftJis = 2, Cp1252 = 3 };

struct CodeGlyph {
    std::uint16_t code = 0; // in the font's encoding
    std::uint16_t glyph = 0;
};

struct Font {
    std::uint8_t lineFeed = 0;
    std::uint16_t alternateGlyph = 0; // drawn for a code the maps do not hold
    GlyphWidth defaultWidth;
    std::uint8_t encoding = 0; // a FontEncoding value, or another the file gives
    std::uint32_t cellWidth = 0;
    std::uint32_t cellHeight = 0;
    int bitsPerPixel = 1;
    std::uint32_t glyphCount = 0;
    std::vector<std::uint8_t> levels; // per glyph cellWidth * cellHeight values, row by row
    std::vector<GlyphWidth> widths;   // per glyph; the default width where no CWDH covers it
    std::vector<CodeGlyph> codes;     // ascending by code, each code once
};

// Throws ""%s" is not an NFTR file" or ""%s" is damaged: ...". The maps are read block by block
// (every CMAP block of the file, in order, a later one not replacing an earlier code), bounded by
// the block count and by 65,536 codes per block.
Font decodeNftr(std::span<const std::uint8_t> bytes, const std::string& label);

// The glyph sheet: 16 cells across, glyph g in cell g (row g / 16, column g % 16), each pixel
// value v > 0 drawn opaque grey 255 - 255 * v / max (the highest value black), 0 clear.
RgbaImage renderGlyphSheet(const Font& font);
inline constexpr std::uint32_t kGlyphSheetColumns = 16;

// The sheet's key as JSON: {"encoding": "UTF-16", "cellWidth": w, "cellHeight": h,
// "columns": 16, "lineFeed": n, "glyphs": [{"code": c, "cell": g, "left": l, "width": w,
// "advance": a}, ...]} with the codes ascending, one per line.
std::string glyphSheetJson(const Font& font);

} // namespace cartscope::core
