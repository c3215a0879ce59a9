// Graphics files over arbitrary bytes: the input is read as each of the five containers (only
// the one its magic names gets past the header) and what decodes is drawn, against small fixed
// companions. Nothing but the user's error escapes, and every picture holds exactly its pixels
// within the cap.
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/error.h"
#include "core/formats/graphics.h"
#include "core/formats/nitro.h"

namespace {

using namespace cartscope::core;

void check(const RgbaImage& image)
{
    const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
    if (pixels > kMaxPixels || image.rgba.size() != 4 * pixels)
        __builtin_trap();
}

const Palette& palette()
{
    static const Palette p = [] {
        Palette q;
        q.bitsPerPixel = 4;
        q.colours.assign(256, 0x7FFF);
        q.present.assign(256, true);
        return q;
    }();
    return p;
}

const Graphics& graphics()
{
    static const Graphics g = [] {
        Graphics q;
        q.widthTiles = 4;
        q.heightTiles = 4;
        q.tileCount = 16;
        q.indices.assign(16 * 64, 1);
        return q;
    }();
    return g;
}

template <typename F> void guarded(F&& f)
{
    try {
        f();
    } catch (const Error&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> bytes(data, size);
    guarded([&] {
        const Palette p = decodeNclr(bytes, "f");
        if (p.present.size() != p.colours.size())
            __builtin_trap();
        check(renderGraphics(graphics(), p, 15));
    });
    guarded([&] {
        const Graphics g = decodeNcgr(bytes, "f");
        if (g.indices.size() != std::size_t{g.tileCount} * 64)
            __builtin_trap();
        check(renderGraphics(g, palette(), 3));
    });
    guarded([&] { check(renderScreen(decodeNscr(bytes, "f"), graphics(), palette())); });
    guarded([&] {
        const Cells cells = decodeNcer(bytes, "f");
        check(renderCellSheet(cells, graphics(), palette()));
        check(renderCell(cells, 0, graphics(), palette()));
    });
    guarded([&] {
        const Animation a = decodeNanr(bytes, "f");
        Cells cells;
        cells.cells.resize(4);
        cells.cells[1].objects.push_back(CellObject{});
        for (std::size_t s = 0; s < a.sequences.size() && s < 4; ++s) {
            guarded([&] {
                for (const RgbaFrame& f : renderSequence(a, s, cells, graphics(), palette()))
                    check(f.image);
            });
        }
    });
    return 0;
}
