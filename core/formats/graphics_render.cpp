#include <algorithm>
#include <limits>

#include "core/base/error.h"
#include "core/formats/graphics.h"
#include "core/formats/nitro.h"

// Drawing the decoded records: tiles through a palette, screens of flipped tiles, cells of
// objects and animations of cells.
namespace cartscope::core {

namespace {

RgbaImage canvas(std::uint64_t width, std::uint64_t height)
{
    if (width > kMaxPixels || height > kMaxPixels || width * height > kMaxPixels)
        throw Error(detail::pictureTooLarge(width, height));
    return RgbaImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
}

std::uint8_t expand5(unsigned c)
{
    return static_cast<std::uint8_t>((c << 3) | (c >> 2));
}

// Palette index 0 and colours the palette does not hold stay clear.
void paint(std::uint8_t* px, const Palette& palette, std::size_t colour)
{
    if (colour >= palette.colours.size() || !palette.present[colour])
        return;
    const std::uint16_t c = palette.colours[colour];
    px[0] = expand5(c & 31u);
    px[1] = expand5((c >> 5) & 31u);
    px[2] = expand5((c >> 10) & 31u);
    px[3] = 255;
}

std::size_t colourOf(const Graphics& graphics, std::uint32_t paletteNumber, std::uint8_t index)
{
    return graphics.bitsPerPixel == 8 ? std::size_t{paletteNumber} * 256 + index
                                      : std::size_t{paletteNumber} * 16 + index;
}

struct Bounds {
    int minX = std::numeric_limits<int>::max();
    int minY = std::numeric_limits<int>::max();
    int maxX = std::numeric_limits<int>::min();
    int maxY = std::numeric_limits<int>::min();
    bool empty() const { return minX > maxX; }
    void add(int x0, int y0, int x1, int y1)
    {
        minX = std::min(minX, x0);
        minY = std::min(minY, y0);
        maxX = std::max(maxX, x1);
        maxY = std::max(maxY, y1);
    }
    std::uint64_t width() const { return empty() ? 1 : static_cast<std::uint64_t>(maxX - minX); }
    std::uint64_t height() const { return empty() ? 1 : static_cast<std::uint64_t>(maxY - minY); }
};

Bounds boundsOf(const Cell& cell, int dx = 0, int dy = 0)
{
    Bounds b;
    for (const CellObject& o : cell.objects) {
        if (!o.hidden)
            b.add(o.x + dx, o.y + dy, o.x + dx + static_cast<int>(o.width),
                  o.y + dy + static_cast<int>(o.height));
    }
    return b;
}

// The tile that holds the object's tile (tx, ty): in one-dimensional mapping the object's tiles
// follow each other from its start; in two-dimensional mapping each row of the object is a row
// of the graphics.
std::uint32_t objectTile(const CellObject& o, const Cells& cells, const Graphics& graphics,
                         std::uint32_t tx, std::uint32_t ty)
{
    const std::uint32_t tileBytes = graphics.bitsPerPixel == 8 ? 64 : 32;
    if (graphics.mapping == CharMapping::TwoD) {
        const std::uint32_t start = graphics.bitsPerPixel == 8 ? o.tile / 2u : o.tile;
        const std::uint32_t stride = graphics.widthTiles == 0 ? 32 : graphics.widthTiles;
        return start + ty * stride + tx;
    }
    const std::uint32_t start = (std::uint32_t{o.tile} << (5 + cells.boundaryShift)) / tileBytes;
    return start + ty * (o.width / 8) + tx;
}

// Objects are drawn from the last to the first, so the first ends on top; clear pixels never
// cover what lies below.
void drawCell(RgbaImage& image, const Cell& cell, int originX, int originY, const Cells& cells,
              const Graphics& graphics, const Palette& palette)
{
    for (auto it = cell.objects.rbegin(); it != cell.objects.rend(); ++it) {
        const CellObject& o = *it;
        if (o.hidden)
            continue;
        for (std::uint32_t oy = 0; oy < o.height; ++oy) {
            const std::int64_t py = std::int64_t{originY} + o.y + oy;
            if (py < 0 || py >= image.height)
                continue;
            for (std::uint32_t ox = 0; ox < o.width; ++ox) {
                const std::int64_t px = std::int64_t{originX} + o.x + ox;
                if (px < 0 || px >= image.width)
                    continue;
                const std::uint32_t sx = o.hflip ? o.width - 1 - ox : ox;
                const std::uint32_t sy = o.vflip ? o.height - 1 - oy : oy;
                const std::uint8_t v =
                    graphics.pixel(objectTile(o, cells, graphics, sx / 8, sy / 8), sx % 8, sy % 8);
                if (v != 0)
                    paint(image.at(static_cast<std::uint32_t>(px), static_cast<std::uint32_t>(py)),
                          palette, colourOf(graphics, o.palette, v));
            }
        }
    }
}

const Cell& cellAt(const Cells& cells, std::size_t index)
{
    if (index >= cells.cells.size())
        throw Error("There is no cell " + std::to_string(index) + " (the file has " +
                    std::to_string(cells.cells.size()) + ")");
    return cells.cells[index];
}
} // namespace

RgbaImage renderGraphics(const Graphics& graphics, const Palette& palette,
                         std::uint32_t paletteNumber)
{
    RgbaImage image =
        canvas(std::uint64_t{graphics.widthTiles} * 8, std::uint64_t{graphics.heightTiles} * 8);
    const std::uint32_t tiles = graphics.widthTiles * graphics.heightTiles;
    for (std::uint32_t t = 0; t < tiles; ++t) {
        const std::uint32_t tx = t % graphics.widthTiles;
        const std::uint32_t ty = t / graphics.widthTiles;
        for (std::uint32_t y = 0; y < 8; ++y) {
            for (std::uint32_t x = 0; x < 8; ++x) {
                const std::uint8_t v = graphics.pixel(t, x, y);
                if (v != 0)
                    paint(image.at(tx * 8 + x, ty * 8 + y), palette,
                          colourOf(graphics, paletteNumber, v));
            }
        }
    }
    return image;
}

RgbaImage renderScreen(const Screen& screen, const Graphics& graphics, const Palette& palette)
{
    RgbaImage image =
        canvas(std::uint64_t{screen.widthTiles} * 8, std::uint64_t{screen.heightTiles} * 8);
    for (std::size_t i = 0; i < screen.entries.size(); ++i) {
        const ScreenEntry& e = screen.entries[i];
        const auto tx = static_cast<std::uint32_t>(i % screen.widthTiles);
        const auto ty = static_cast<std::uint32_t>(i / screen.widthTiles);
        // An 8-bit screen uses the one 256-colour palette; the entry's number selects among
        // 16-colour palettes only.
        const std::uint32_t number = graphics.bitsPerPixel == 8 ? 0 : e.palette;
        for (std::uint32_t y = 0; y < 8; ++y) {
            for (std::uint32_t x = 0; x < 8; ++x) {
                const std::uint8_t v =
                    graphics.pixel(e.tile, e.hflip ? 7 - x : x, e.vflip ? 7 - y : y);
                if (v != 0)
                    paint(image.at(tx * 8 + x, ty * 8 + y), palette, colourOf(graphics, number, v));
            }
        }
    }
    return image;
}

RgbaImage renderCell(const Cells& cells, std::size_t index, const Graphics& graphics,
                     const Palette& palette)
{
    const Cell& cell = cellAt(cells, index);
    const Bounds b = boundsOf(cell);
    RgbaImage image = canvas(b.width(), b.height());
    if (!b.empty())
        drawCell(image, cell, -b.minX, -b.minY, cells, graphics, palette);
    return image;
}

RgbaImage renderCellSheet(const Cells& cells, const Graphics& graphics, const Palette& palette)
{
    if (cells.cells.empty())
        throw Error("There are no cells");
    std::uint64_t slotWidth = 1;
    std::uint64_t slotHeight = 1;
    std::vector<Bounds> bounds;
    bounds.reserve(cells.cells.size());
    for (const Cell& cell : cells.cells) {
        bounds.push_back(boundsOf(cell));
        slotWidth = std::max(slotWidth, bounds.back().width());
        slotHeight = std::max(slotHeight, bounds.back().height());
    }
    const std::size_t n = cells.cells.size();
    std::size_t columns = 1;
    while (columns * columns < n) // at most 256 passes: n < 65536
        ++columns;
    const std::size_t rows = (n + columns - 1) / columns;
    RgbaImage image = canvas(slotWidth * columns, slotHeight * rows);
    for (std::size_t i = 0; i < n; ++i) {
        if (bounds[i].empty())
            continue;
        const auto x = static_cast<int>((i % columns) * slotWidth);
        const auto y = static_cast<int>((i / columns) * slotHeight);
        drawCell(image, cells.cells[i], x - bounds[i].minX, y - bounds[i].minY, cells, graphics,
                 palette);
    }
    return image;
}

namespace {

// Frames on one canvas that holds every step's cell at its place, so they line up.
std::vector<RgbaFrame> renderSteps(const std::vector<AnimationStep>& steps, const Cells& cells,
                                   const Graphics& graphics, const Palette& palette)
{
    Bounds all;
    for (const AnimationStep& step : steps) {
        const Bounds b = boundsOf(cellAt(cells, step.cell), step.dx, step.dy);
        if (!b.empty())
            all.add(b.minX, b.minY, b.maxX, b.maxY);
    }
    const std::uint64_t pixels = all.width() * all.height();
    if (pixels > kMaxPixels || pixels * steps.size() > kMaxPixels)
        throw Error("The animation is too large (" + std::to_string(steps.size()) + " frames of " +
                    std::to_string(all.width()) + " x " + std::to_string(all.height()) +
                    " pixels; at most 4096 x 4096 pixels in all)");
    std::vector<RgbaFrame> frames;
    frames.reserve(steps.size());
    for (const AnimationStep& step : steps) {
        RgbaFrame frame;
        frame.image = canvas(all.width(), all.height());
        if (!all.empty())
            drawCell(frame.image, cells.cells[step.cell], step.dx - all.minX, step.dy - all.minY,
                     cells, graphics, palette);
        frame.delayNumerator = step.duration;
        frame.delayDenominator = 60;
        frames.push_back(std::move(frame));
    }
    return frames;
}

} // namespace

std::vector<RgbaFrame> renderSequence(const Animation& animation, std::size_t sequence,
                                      const Cells& cells, const Graphics& graphics,
                                      const Palette& palette)
{
    if (sequence >= animation.sequences.size())
        throw Error("There is no sequence " + std::to_string(sequence) + " (the file has " +
                    std::to_string(animation.sequences.size()) + ")");
    const auto& steps = animation.sequences[sequence];
    if (steps.empty())
        throw Error("Sequence " + std::to_string(sequence) + " has no frames");
    return renderSteps(steps, cells, graphics, palette);
}

std::vector<RgbaFrame> renderAnimation(const Animation& animation, const Cells& cells,
                                       const Graphics& graphics, const Palette& palette)
{
    // The decoder bounds the frames of all sequences together, so the copy is bounded too.
    std::vector<AnimationStep> steps;
    for (const auto& sequence : animation.sequences)
        steps.insert(steps.end(), sequence.begin(), sequence.end());
    if (steps.empty())
        throw Error("The animation has no frames");
    return renderSteps(steps, cells, graphics, palette);
}

} // namespace cartscope::core
