#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/banner/png.h"

// The console's 2D graphics files, decoded into records and drawn as RGBA pictures: palettes
// (NCLR), tile graphics (NCGR), screens of tiles (NSCR), cells of hardware objects (NCER) and
// animations of cells (NANR). Palette index 0 is drawn clear everywhere; a colour the palette
// does not hold is drawn clear too. A 5-bit channel c becomes (c << 3) | (c >> 2), so 31 is 255.
namespace cartscope::core {

struct Palette {
    int bitsPerPixel = 4;               // 4: palettes of 16 colours; 8: palettes of 256
    std::vector<std::uint16_t> colours; // BGR555; palette p's entry i at p * entries + i
    std::vector<bool> present; // per colour: held by the file (a compressed palette has gaps)

    std::size_t entriesPerPalette() const { return bitsPerPixel == 8 ? 256 : 16; }
};

enum class CharMapping { TwoD, OneD };

struct Graphics {
    int bitsPerPixel = 4;
    bool linear = false; // pixels stored row by row across the picture, not tile by tile
    CharMapping mapping = CharMapping::OneD;
    bool sizeKnown = false;       // false when the file gives 0xFFFF for its size
    std::uint32_t widthTiles = 0; // the file's, or chosen when unknown
    std::uint32_t heightTiles = 0;
    std::uint32_t tileCount = 0; // tiles the data holds
    // Palette indices, 64 per tile (row by row within the tile), tiles in file order; a linear
    // picture is cut into the same tiles by its width.
    std::vector<std::uint8_t> indices;

    std::uint8_t pixel(std::uint32_t tile, std::uint32_t x, std::uint32_t y) const
    {
        return tile < tileCount ? indices[std::size_t{tile} * 64 + y * 8 + x] : 0;
    }
};

struct ScreenEntry {
    std::uint16_t tile = 0; // 10 bits
    bool hflip = false;
    bool vflip = false;
    std::uint8_t palette = 0; // 4 bits
};

struct Screen {
    std::uint32_t widthTiles = 0;
    std::uint32_t heightTiles = 0;
    std::vector<ScreenEntry> entries; // row by row; missing entries are tile 0
};

struct CellObject {
    int x = 0; // signed 9 bits
    int y = 0; // signed 8 bits
    std::uint32_t width = 8;
    std::uint32_t height = 8;
    bool hflip = false;
    bool vflip = false;
    bool eightBit = false;
    bool hidden = false;      // disabled by its attributes: not drawn
    std::uint16_t tile = 0;   // 10 bits, in units of the mapping's boundary
    std::uint8_t palette = 0; // 4 bits
};

struct Cell {
    std::vector<CellObject> objects; // the first is drawn on top
};

struct Cells {
    std::uint32_t boundaryShift = 0; // an object's tile index counts units of 32 << shift bytes
    std::vector<Cell> cells;
};

struct AnimationStep {
    std::uint16_t cell = 0;
    std::uint16_t duration = 1; // in 1/60 s
    int dx = 0;                 // translation of the cell in the frame
    int dy = 0;
};

struct Animation {
    std::vector<std::vector<AnimationStep>> sequences;
};

// The decoders: `label` names the file in error texts (""%s" is damaged: ..."). Every count,
// offset and size is checked against the block that holds it.
Palette decodeNclr(std::span<const std::uint8_t> bytes, const std::string& label);
Graphics decodeNcgr(std::span<const std::uint8_t> bytes, const std::string& label);
Screen decodeNscr(std::span<const std::uint8_t> bytes, const std::string& label);
Cells decodeNcer(std::span<const std::uint8_t> bytes, const std::string& label);
Animation decodeNanr(std::span<const std::uint8_t> bytes, const std::string& label);

// The graphics as a picture of widthTiles x heightTiles tiles, 4-bit graphics in palette
// `paletteNumber`. Throws "The picture is too large (W x H pixels; at most 4096 x 4096)" past
// kMaxPixels.
RgbaImage renderGraphics(const Graphics& graphics, const Palette& palette,
                         std::uint32_t paletteNumber = 0);
// The screen: each entry's tile, flipped, in its palette (4-bit) or palette 0 (8-bit).
RgbaImage renderScreen(const Screen& screen, const Graphics& graphics, const Palette& palette);
// One cell cut to the rectangle its objects cover (an empty cell: one clear pixel). Throws
// "There is no cell N (the file has M)" for an index past the end.
RgbaImage renderCell(const Cells& cells, std::size_t index, const Graphics& graphics,
                     const Palette& palette);
// Every cell in a grid of equal slots, as many columns as the square root of the count rounded
// up, each cell at the top left of its slot.
RgbaImage renderCellSheet(const Cells& cells, const Graphics& graphics, const Palette& palette);
// One sequence's frames on one canvas that holds every frame's cell at its place (so frames line
// up), each shown for its duration. Rotation and scale are not applied. Throws "There is no
// sequence N (the file has M)".
std::vector<RgbaFrame> renderSequence(const Animation& animation, std::size_t sequence,
                                      const Cells& cells, const Graphics& graphics,
                                      const Palette& palette);
// Every sequence one after the other, all on one canvas (sequences without frames add
// none). Throws "The animation has no frames" when no sequence has one.
std::vector<RgbaFrame> renderAnimation(const Animation& animation, const Cells& cells,
                                       const Graphics& graphics, const Palette& palette);

namespace detail {

// "The picture is too large (W x H pixels; at most 4096 x 4096)", for the decoders and the
// renderers alike.
std::string pictureTooLarge(std::uint64_t width, std::uint64_t height);

} // namespace detail

} // namespace cartscope::core
