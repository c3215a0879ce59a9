// Fonts over arbitrary bytes: what decodes maps each code once, ascending, to a glyph it holds,
// has a width per glyph, and draws a sheet of exactly its pixels; nothing but the user's error
// escapes.
#include <cstdint>
#include <span>

#include "core/base/error.h"
#include "core/formats/font.h"
#include "core/formats/nitro.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    try {
        const Font font = decodeNftr(std::span(data, size), "f.NFTR");
        if (font.widths.size() != font.glyphCount ||
            font.levels.size() != std::size_t{font.glyphCount} * font.cellWidth * font.cellHeight)
            __builtin_trap();
        for (std::size_t i = 0; i < font.codes.size(); ++i) {
            if (font.codes[i].glyph >= font.glyphCount ||
                (i > 0 && font.codes[i - 1].code >= font.codes[i].code))
                __builtin_trap();
        }
        glyphSheetJson(font);
        const RgbaImage sheet = renderGlyphSheet(font);
        const std::uint64_t pixels = std::uint64_t{sheet.width} * sheet.height;
        if (pixels > kMaxPixels || sheet.rgba.size() != 4 * pixels)
            __builtin_trap();
    } catch (const Error&) {
    }
    return 0;
}
