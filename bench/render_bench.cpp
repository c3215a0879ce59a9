// render_bench [PAIRS]: drawing a 256x192 screen (32x24 tiles) to RGBA, for 4- and 8-bit
// graphics, against a plain reference loop written here.
//
// The NCLR, NCGR (768 tiles) and NSCR are built in memory by the fixture builder; the screen's
// entries use every tile, both flips and (4-bit) all 16 palettes, chosen by a fixed random
// sequence. A: renderScreen over the decoded files. B: one small function that reads each
// entry, fetches its tile's pixels from the packed bytes (flipped) and copies them through the
// palette, palette index 0 clear; its picture is checked equal to A's before timing. Then, shown
// and not a goal: decoding the three files plus the render, and encodeRgbaPng of the picture
// against a plain zlib deflate (level 7, as the PNG writer's) of the raw RGBA bytes. Timings are
// in-process (one render takes well under a millisecond, far less than a process start), each a
// batch of renders divided by its count, A and B interleaved for PAIRS pairs (default 5) after
// one warm-up each; medians, the range of the per-pair ratios and the 1-minute load average
// before and after each row. The goal is a render under 5 ms.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "bench/bench_timing.h"
#include "core/banner/png.h"
#include "core/formats/graphics.h"
#include "tests/fixture/formats_builder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace cartscope;

constexpr unsigned kTilesAcross = 32;
constexpr unsigned kTilesDown = 24;
constexpr unsigned kTiles = 768;

struct Random {
    std::uint64_t s;
    std::uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(s >> 33);
    }
};

struct Files {
    int bpp = 4;
    std::vector<std::uint16_t> colours; // BGR555
    Bytes pixels;                       // packed, tile by tile
    std::vector<std::uint16_t> entries; // screen entries as stored
    Bytes nclr, ncgr, nscr;
};

Files makeFiles(int bpp)
{
    Random r{static_cast<std::uint64_t>(bpp)};
    Files f;
    f.bpp = bpp;
    f.colours.resize(bpp == 8 ? 256 : 16 * 16);
    for (auto& c : f.colours)
        c = static_cast<std::uint16_t>(r.next() & 0x7FFF);
    f.pixels.resize(std::size_t{kTiles} * 8 * static_cast<unsigned>(bpp));
    for (auto& b : f.pixels)
        b = static_cast<std::uint8_t>(r.next());
    for (unsigned i = 0; i < kTilesAcross * kTilesDown; ++i) {
        const std::uint32_t tile = (i + r.next() % 7) % kTiles;
        f.entries.push_back(
            static_cast<std::uint16_t>(tile | ((r.next() & 3u) << 10) | ((r.next() & 15u) << 12)));
    }
    f.nclr = fixture::nclrFile(bpp, f.colours);
    f.ncgr = fixture::ncgrFile(bpp, kTilesAcross, kTiles / kTilesAcross, false, 0x10, f.pixels);
    f.nscr = fixture::nscrFile(kTilesAcross * 8, kTilesDown * 8, f.entries);
    return f;
}

// The reference: each entry's tile copied through the palette, flipped as the entry says.
void referenceRender(const Files& f, std::uint8_t* out)
{
    std::uint32_t rgba[256];
    for (std::size_t i = 0; i < f.colours.size() && i < 256; ++i) {
        const unsigned c = f.colours[i];
        const auto w = [](unsigned v) { return (v << 3) | (v >> 2); };
        rgba[i] = w(c & 31u) | w((c >> 5) & 31u) << 8 | w((c >> 10) & 31u) << 16 | 0xFF000000u;
    }
    const std::size_t tileBytes = f.bpp == 8 ? 64 : 32;
    for (unsigned e = 0; e < kTilesAcross * kTilesDown; ++e) {
        const unsigned v = f.entries[e];
        const std::uint8_t* tile = f.pixels.data() + (v & 0x3FFu) * tileBytes;
        const bool hflip = (v & 0x400u) != 0, vflip = (v & 0x800u) != 0;
        const unsigned base = f.bpp == 8 ? 0 : (v >> 12) * 16;
        auto* row0 = reinterpret_cast<std::uint32_t*>(out) + (e / kTilesAcross) * 8 * 256 +
                     (e % kTilesAcross) * 8;
        for (unsigned y = 0; y < 8; ++y) {
            std::uint32_t* row = row0 + y * 256;
            const unsigned sy = vflip ? 7 - y : y;
            for (unsigned x = 0; x < 8; ++x) {
                const unsigned sx = hflip ? 7 - x : x;
                const unsigned at = sy * 8 + sx;
                const unsigned index =
                    f.bpp == 8 ? tile[at] : (tile[at / 2] >> (4 * (at % 2))) & 15u;
                row[x] = index == 0 ? 0 : rgba[base + index];
            }
        }
    }
}

using cartscope::bench::load1;
using cartscope::bench::median;
using cartscope::bench::seconds;

// Times `batch` runs of each of a and b per pair, printed in milliseconds per run.
template <typename A, typename B>
void pair(const std::string& label, const char* against, const char* goal, int pairs, int batch,
          A a, B b)
{
    const std::string before = load1();
    a();
    b();
    std::vector<double> ta, tb, ratio;
    for (int i = 0; i < pairs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < batch; ++k)
            a();
        ta.push_back(seconds(t0) * 1000 / batch);
        t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < batch; ++k)
            b();
        tb.push_back(seconds(t0) * 1000 / batch);
        ratio.push_back(ta.back() / tb.back());
    }
    const auto [lo, hi] = std::minmax_element(ratio.begin(), ratio.end());
    std::printf("| %-44s | %-40s | %8.4f ms | %8.4f ms | %6.2fx | %.2f-%.2f | %-8s | %s -> %s |\n",
                label.c_str(), against, median(ta), median(tb), median(ratio), *lo, *hi, goal,
                before.c_str(), load1().c_str());
}

Bytes deflateLevel7(const Bytes& in)
{
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 7) != Z_OK)
        std::abort();
    out.resize(size);
    return out;
}

bool benchDepth(int bpp, int pairs)
{
    const Files f = makeFiles(bpp);
    const std::string depth = std::to_string(bpp) + " bpp";
    const core::Palette palette = core::decodeNclr(f.nclr, "bench.NCLR");
    const core::Graphics graphics = core::decodeNcgr(f.ncgr, "bench.NCGR");
    const core::Screen screen = core::decodeNscr(f.nscr, "bench.NSCR");
    core::RgbaImage picture = core::renderScreen(screen, graphics, palette);
    Bytes reference(std::size_t{4} * 256 * 192);
    referenceRender(f, reference.data());
    if (picture.width != 256 || picture.height != 192 || picture.rgba != reference) {
        std::fprintf(stderr, "%s: the render and the reference loop differ\n", depth.c_str());
        return false;
    }
    std::uint64_t sink = 0; // keeps every result live
    pair(
        "renderScreen 256x192, " + depth, "reference loop (tile through palette)", "< 5 ms", pairs,
        200,
        [&] {
            picture = core::renderScreen(screen, graphics, palette);
            sink += picture.rgba[sink % picture.rgba.size()];
        },
        [&] {
            referenceRender(f, reference.data());
            sink += reference[sink % reference.size()];
        });
    pair(
        "decode NCLR+NCGR+NSCR and render, " + depth, "reference loop (tile through palette)",
        "shown", pairs, 200,
        [&] {
            const core::RgbaImage p = core::renderScreen(core::decodeNscr(f.nscr, "b.NSCR"),
                                                         core::decodeNcgr(f.ncgr, "b.NCGR"),
                                                         core::decodeNclr(f.nclr, "b.NCLR"));
            sink += p.rgba[sink % p.rgba.size()];
        },
        [&] {
            referenceRender(f, reference.data());
            sink += reference[sink % reference.size()];
        });
    pair(
        "encodeRgbaPng of that picture, " + depth, "zlib compress2 level 7 of its RGBA bytes",
        "shown", pairs, 5, [&] { sink += core::encodeRgbaPng(picture).size(); },
        [&] { sink += deflateLevel7(picture.rgba).size(); });
    return sink != 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int pairs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("| work (A) | against (B) | A per run | B per run | A/B time | range | goal | "
                "load 1-min |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const bool ok4 = benchDepth(4, pairs);
    const bool ok8 = benchDepth(8, pairs);
    return ok4 && ok8 ? 0 : 1;
}
