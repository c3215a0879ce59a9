#include "core/formats/font.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/base/text.h"
#include "core/formats/nitro.h"

namespace cartscope::core {

namespace {

constexpr std::uint32_t kNoGlyph = 0xFFFFFFFF;
constexpr std::size_t kCodes = 0x10000;
// Direct maps cost no bytes per code, so a file of many tiny blocks could ask for billions of
// steps; this bounds the work of all maps together.
constexpr std::size_t kMaxMapSteps = std::size_t{1} << 21;

void readWidths(const NitroBlock& block, Font& font, const std::string& label)
{
    const auto d = block.data;
    if (d.size() < 8)
        throw damaged(label, "the CWDH block is cut short");
    const std::uint16_t first = le16(d, 0x00); // 0x00 first glyph
    const std::uint16_t last = le16(d, 0x02);  // 0x02 last glyph, 0x08 entries of 3 bytes
    if (last < first)
        return;
    const std::size_t count = std::size_t{last} - first + 1;
    if (!fits(8, 3 * std::uint64_t{count}, d.size()))
        throw damaged(label, "the CWDH widths run past their block");
    for (std::size_t i = 0; i < count && first + i < font.glyphCount; ++i) {
        GlyphWidth& w = font.widths[first + i];
        w.left = static_cast<std::int8_t>(d[8 + 3 * i]);
        w.width = d[8 + 3 * i + 1];
        w.advance = d[8 + 3 * i + 2];
    }
}

void readMap(const NitroBlock& block, std::vector<std::uint32_t>& glyphOf, std::size_t& steps,
             const std::string& label)
{
    const auto d = block.data;
    if (d.size() < 0x0C)
        throw damaged(label, "the CMAP block is cut short");
    const std::uint16_t first = le16(d, 0x00); // 0x00 first code
    const std::uint16_t last = le16(d, 0x02);  // 0x02 last code
    const std::uint16_t type = le16(d, 0x04);  // 0x04 0 direct, 1 table, 2 scan; data at 0x0C
    auto map = [&](std::uint32_t code, std::uint32_t glyph) {
        if (glyphOf[code] == kNoGlyph)
            glyphOf[code] = glyph;
    };
    auto spend = [&](std::size_t n) {
        steps += n;
        if (steps > kMaxMapSteps)
            throw damaged(label, "its CMAP blocks map more than " + std::to_string(kMaxMapSteps) +
                                     " codes");
    };
    if (type == 2) {
        if (d.size() < 0x0E)
            throw damaged(label, "the CMAP block is cut short");
        const std::uint16_t pairs = le16(d, 0x0C);
        if (!fits(0x0E, 4 * std::uint64_t{pairs}, d.size()))
            throw damaged(label, "the CMAP pairs run past their block");
        spend(pairs);
        for (std::size_t i = 0; i < pairs; ++i)
            map(le16(d, 0x0E + 4 * i), le16(d, 0x0E + 4 * i + 2));
        return;
    }
    if (last < first)
        return;
    const std::size_t count = std::size_t{last} - first + 1;
    spend(count);
    if (type == 0) {
        if (d.size() < 0x0E)
            throw damaged(label, "the CMAP block is cut short");
        const std::uint16_t base = le16(d, 0x0C);
        for (std::size_t i = 0; i < count; ++i)
            map(static_cast<std::uint32_t>(first + i), static_cast<std::uint32_t>(base + i));
    } else if (type == 1) {
        if (!fits(0x0C, 2 * std::uint64_t{count}, d.size()))
            throw damaged(label, "the CMAP table runs past its block");
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t glyph = le16(d, 0x0C + 2 * i);
            if (glyph != 0xFFFF) // no glyph for this code
                map(static_cast<std::uint32_t>(first + i), glyph);
        }
    } else {
        throw damaged(label, "a CMAP block has the unknown form " + std::to_string(type));
    }
}

void readInfo(const NitroFile& file, Font& font, const std::string& label)
{
    const auto info = requireBlock(file, "FINF", label).data;
    if (info.size() < 8)
        throw damaged(label, "the FINF block is cut short");
    font.lineFeed = info[0x01];                                    // 0x01 line height
    font.alternateGlyph = le16(info, 0x02);                        // 0x02 glyph for unknown codes
    font.defaultWidth.left = static_cast<std::int8_t>(info[0x04]); // 0x04 default widths
    font.defaultWidth.width = info[0x05];
    font.defaultWidth.advance = info[0x06];
    font.encoding = info[0x07]; // 0x07 character encoding
}

void readGlyphs(const NitroFile& file, Font& font, const std::string& label)
{
    const auto g = requireBlock(file, "CGLP", label).data;
    if (g.size() < 8)
        throw damaged(label, "the CGLP block is cut short");
    font.cellWidth = g[0x00];                       // 0x00 cell width
    font.cellHeight = g[0x01];                      // 0x01 cell height
    const std::uint16_t glyphBytes = le16(g, 0x02); // 0x02 bytes per glyph
    font.bitsPerPixel = g[0x06];                    // 0x06 bits per pixel; glyphs from 0x08
    if (font.bitsPerPixel != 1 && font.bitsPerPixel != 2 && font.bitsPerPixel != 4 &&
        font.bitsPerPixel != 8)
        throw damaged(label, "the glyphs' depth of " + std::to_string(font.bitsPerPixel) +
                                 " bits is unknown");
    const std::uint64_t cellBits =
        std::uint64_t{font.cellWidth} * font.cellHeight * static_cast<unsigned>(font.bitsPerPixel);
    if (glyphBytes == 0 || glyphBytes < (cellBits + 7) / 8)
        throw damaged(label, "a glyph of " + std::to_string(glyphBytes) + " bytes cannot hold a " +
                                 std::to_string(font.cellWidth) + " x " +
                                 std::to_string(font.cellHeight) + " cell");
    font.glyphCount = static_cast<std::uint32_t>((g.size() - 8) / glyphBytes);
    const std::uint64_t cell = std::uint64_t{font.cellWidth} * font.cellHeight;
    if (cell * font.glyphCount > kMaxPixels)
        throw Error("The picture is too large (" + std::to_string(font.glyphCount) + " glyphs of " +
                    std::to_string(cell) + " pixels; at most 4096 x 4096)");
    font.levels.resize(static_cast<std::size_t>(cell * font.glyphCount));
    const unsigned bpp = static_cast<unsigned>(font.bitsPerPixel);
    const unsigned mask = (1u << bpp) - 1;
    for (std::size_t k = 0; k < font.glyphCount; ++k) {
        // Pixels are packed from the most significant bit, rows running on without padding.
        const auto glyph = g.subspan(8 + k * glyphBytes, glyphBytes);
        for (std::size_t p = 0; p < cell; ++p) {
            const std::size_t bit = p * bpp;
            const unsigned shift = 8 - bpp - static_cast<unsigned>(bit % 8);
            font.levels[k * cell + p] = static_cast<std::uint8_t>((glyph[bit / 8] >> shift) & mask);
        }
    }
}

} // namespace

Font decodeNftr(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const NitroFile file = readNitro(bytes, "NFTR", label);
    Font font;
    readInfo(file, font, label);
    readGlyphs(file, font, label);
    font.widths.assign(font.glyphCount, font.defaultWidth);
    std::vector<std::uint32_t> glyphOf(kCodes, kNoGlyph);
    std::size_t steps = 0;
    for (const NitroBlock& block : file.blocks) { // bounded by the block count
        if (block.magic == "CWDH")
            readWidths(block, font, label);
        else if (block.magic == "CMAP")
            readMap(block, glyphOf, steps, label);
    }
    for (std::size_t code = 0; code < kCodes; ++code) {
        if (glyphOf[code] < font.glyphCount)
            font.codes.push_back(
                {static_cast<std::uint16_t>(code), static_cast<std::uint16_t>(glyphOf[code])});
    }
    return font;
}

RgbaImage renderGlyphSheet(const Font& font)
{
    if (font.glyphCount == 0 || font.cellWidth == 0 || font.cellHeight == 0)
        throw Error("The font has no glyphs");
    const std::uint32_t rows = (font.glyphCount + kGlyphSheetColumns - 1) / kGlyphSheetColumns;
    const std::uint64_t width = std::uint64_t{kGlyphSheetColumns} * font.cellWidth;
    const std::uint64_t height = std::uint64_t{rows} * font.cellHeight;
    if (width * height > kMaxPixels)
        throw Error("The picture is too large (" + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels; at most 4096 x 4096)");
    RgbaImage image(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    const unsigned max = (1u << static_cast<unsigned>(font.bitsPerPixel)) - 1;
    const std::size_t cell = std::size_t{font.cellWidth} * font.cellHeight;
    for (std::uint32_t k = 0; k < font.glyphCount; ++k) {
        const std::uint32_t ox = (k % kGlyphSheetColumns) * font.cellWidth;
        const std::uint32_t oy = (k / kGlyphSheetColumns) * font.cellHeight;
        for (std::uint32_t y = 0; y < font.cellHeight; ++y) {
            for (std::uint32_t x = 0; x < font.cellWidth; ++x) {
                const unsigned v = font.levels[k * cell + y * font.cellWidth + x];
                if (v == 0)
                    continue;
                std::uint8_t* px = image.at(ox + x, oy + y);
                const auto grey = static_cast<std::uint8_t>(255 - 255 * v / max);
                px[0] = px[1] = px[2] = grey;
                px[3] = 255;
            }
        }
    }
    return image;
}

std::string glyphSheetJson(const Font& font)
{
    static constexpr const char* kNames[] = {"UTF-8", "UTF-16", "Shift-JIS", "CP1252"};
    const std::string encoding =
        font.encoding < 4 ? kNames[font.encoding] : "unknown " + std::to_string(font.encoding);
    std::string out = "{\"encoding\": " + jsonString(encoding) +
                      ", \"cellWidth\": " + std::to_string(font.cellWidth) +
                      ", \"cellHeight\": " + std::to_string(font.cellHeight) +
                      ", \"columns\": " + std::to_string(kGlyphSheetColumns) +
                      ", \"lineFeed\": " + std::to_string(font.lineFeed) + ", \"glyphs\": [";
    for (std::size_t i = 0; i < font.codes.size(); ++i) {
        const CodeGlyph& c = font.codes[i];
        const GlyphWidth& w = font.widths[c.glyph];
        out += i == 0 ? "\n" : ",\n";
        out += "  {\"code\": " + std::to_string(c.code) + ", \"cell\": " + std::to_string(c.glyph) +
               ", \"left\": " + std::to_string(w.left) + ", \"width\": " + std::to_string(w.width) +
               ", \"advance\": " + std::to_string(w.advance) + "}";
    }
    out += font.codes.empty() ? "]}\n" : "\n]}\n";
    return out;
}

} // namespace cartscope::core
