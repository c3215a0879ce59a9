// compress_bench [PAIRS] [MIB]: LZ10 and LZ11 speed and size on generated game-like data (text,
// 4-bit tiles, ARM code, noise, zero padding; MIB MiB, default 2), and IMA-ADPCM decode speed.
// compress_bench data FILE [MIB]: writes that data to FILE, to look at or profile.
// compress_bench adpcm [PAIRS]: the IMA-ADPCM row alone.
//
// Decode: MB/s of output of decompressStream (into a buffer) against a plain memcpy of the same
// output, interleaved A B A B for PAIRS pairs (default 5) after one warm-up each. Encode: MB/s of
// input against the greedy reference parse (bench/lz_reference.cpp), interleaved the same way.
// Sizes: the product's output against the greedy and the optimal (dynamic-programming) parse
// under the same rules; the goal is no larger than greedy and within 2% of optimal. Timings are
// in-process (a decode of 2 MiB takes a few milliseconds, about a process start), with the
// 1-minute load average before and after each row. IMA-ADPCM: million samples per second of
// decodeImaAdpcm over stream blocks of 0x200 bytes (1016 samples each, random codes, one core),
// against a memcpy of the same 16-bit output; the goal is at least 100 million samples/s.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_timing.h"
#include "bench/lz_reference.h"
#include "core/compress/compress.h"
#include "core/compress/encode.h"
#include "core/formats/sound/wave.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using cartscope::core::Codec;

struct Random {
    std::uint64_t s;
    std::uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(s >> 33);
    }
};

// Segments of what a game's files hold, in turn until `size` bytes.
Bytes gameLike(std::size_t size)
{
    Random r{42};
    std::vector<std::string> words;
    for (int i = 0; i < 300; ++i) {
        std::string w;
        for (std::uint32_t k = 0, n = 2 + r.next() % 8; k < n; ++k)
            w += static_cast<char>('a' + r.next() % 26);
        words.push_back(w);
    }
    std::vector<Bytes> tiles;
    for (int i = 0; i < 24; ++i) {
        Bytes t(32);
        for (auto& b : t)
            b = static_cast<std::uint8_t>((r.next() % 4) * 0x11 + (r.next() % 3));
        tiles.push_back(t);
    }
    Bytes out;
    while (out.size() < size) {
        const std::uint32_t kind = r.next() % 10;
        const std::size_t n = 2048 + r.next() % 16384;
        Bytes seg;
        if (kind < 3) { // text
            while (seg.size() < n) {
                const std::string& w = words[std::min(r.next() % 300, r.next() % 300)];
                seg.insert(seg.end(), w.begin(), w.end());
                seg.push_back(r.next() % 12 == 0 ? '\n' : ' ');
            }
        } else if (kind < 6) { // tiles, some changed in a pixel or two
            while (seg.size() < n) {
                Bytes t = tiles[r.next() % tiles.size()];
                if (r.next() % 3 == 0)
                    t[r.next() % 32] ^= static_cast<std::uint8_t>(r.next() & 0xFF);
                seg.insert(seg.end(), t.begin(), t.end());
            }
        } else if (kind < 8) { // ARM code: few opcodes and registers, some literal words
            while (seg.size() < n) {
                const std::uint32_t w = r.next() % 5 == 0
                                            ? r.next()
                                            : 0xE0000000u | ((r.next() % 16) << 21) |
                                                  ((r.next() % 8) << 16) | ((r.next() % 8) << 12) |
                                                  (r.next() % 64);
                for (int i = 0; i < 4; ++i)
                    seg.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
            }
        } else if (kind < 9) { // noise
            seg.resize(n / 4);
            for (auto& b : seg)
                b = static_cast<std::uint8_t>(r.next());
        } else { // padding
            seg.assign(16 + r.next() % 496, 0);
        }
        out.insert(out.end(), seg.begin(), seg.end());
    }
    out.resize(size);
    return out;
}

using cartscope::bench::load1;
using cartscope::bench::median;
using cartscope::bench::seconds;

template <typename A, typename B>
void pair(const char* label, const char* against, const char* goal, int pairs, double megabytes,
          A a, B b, const char* unit = "MB/s")
{
    const std::string before = load1();
    a();
    b();
    std::vector<double> ta, tb, ratio;
    for (int i = 0; i < pairs; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        a();
        ta.push_back(seconds(t0));
        t0 = std::chrono::steady_clock::now();
        b();
        tb.push_back(seconds(t0));
        ratio.push_back(tb.back() / ta.back());
    }
    const auto [lo, hi] = std::minmax_element(ratio.begin(), ratio.end());
    std::printf("| %-44s | %-34s | %7.0f %s | %7.0f %s | %5.2fx | %.2f-%.2f | %-10s | %s -> %s |\n",
                label, against, megabytes / median(ta), unit, megabytes / median(tb), unit,
                median(ratio), *lo, *hi, goal, before.c_str(), load1().c_str());
}

// The IMA-ADPCM row: 16 MiB of blocks decoded as a stream's channel is.
bool adpcm(int pairs)
{
    constexpr std::size_t kBlock = 0x200;
    constexpr std::size_t kSamples = (kBlock - 4) * 2;
    constexpr std::size_t kBlocks = (std::size_t{16} << 20) / kBlock;
    Random r{7};
    Bytes codes(kBlocks * kBlock);
    for (auto& b : codes)
        b = static_cast<std::uint8_t>(r.next());
    for (std::size_t i = 0; i < kBlocks; ++i)
        codes[i * kBlock + 2] %= 89; // a step index the console uses
    std::vector<std::int16_t> out(kBlocks * kSamples), copy(out.size());
    const double megasamples = static_cast<double>(out.size()) / 1e6;
    std::int64_t checksum = 0;
    pair(
        "IMA-ADPCM decode, million samples/s", "memcpy of the same 16-bit output", ">= 100", pairs,
        megasamples,
        [&] {
            for (std::size_t i = 0; i < kBlocks; ++i)
                cartscope::core::decodeImaAdpcm(
                    std::span<const std::uint8_t>(codes.data() + i * kBlock, kBlock), kSamples,
                    out.data() + i * kSamples);
            checksum += out[out.size() / 3];
        },
        [&] {
            std::memcpy(copy.data(), out.data(), out.size() * sizeof(std::int16_t));
            asm volatile("" : : "r"(copy.data()) : "memory");
        },
        "M/s ");
    return checksum != 0x7FFFFFFF; // keeps the decode's result live
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::string(argv[1]) == "data") {
        const Bytes data = gameLike((argc > 3 ? std::stoul(argv[3]) : 2) << 20);
        std::ofstream(argv[2], std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "adpcm") {
        std::printf("| work (A) | against (B) | A | B | B/A time | range | goal | load 1-min |\n");
        std::printf("|---|---|---|---|---|---|---|---|\n");
        return adpcm(argc > 2 ? std::atoi(argv[2]) : 5) ? 0 : 1;
    }
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::size_t mib = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 2;
    const Bytes data = gameLike(mib << 20);
    const double mb = static_cast<double>(data.size()) / 1e6;
    Bytes sink(data.size());
    bool ok = true;

    std::printf("| work (A) | against (B) | A | B | B/A time | range | goal | load 1-min |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const Codec codec : {Codec::Lz10, Codec::Lz11}) {
        const bool lz11 = codec == Codec::Lz11;
        const std::string name(cartscope::core::codecName(codec));
        const Bytes packed = cartscope::core::compress(codec, data);
        if (cartscope::core::decompress(packed, "bench") != data) {
            std::fprintf(stderr, "%s does not round-trip\n", name.c_str());
            return 1;
        }
        const int repeat = 10; // decodes per timing, so each lasts tens of milliseconds
        pair((name + " decode, MB/s of output").c_str(), "memcpy of the same output", ">= 400",
             pairs, mb * repeat,
             [&] {
                 for (int k = 0; k < repeat; ++k) {
                     std::size_t at = 0;
                     cartscope::core::decompressStream(
                         packed, "bench", [&](std::span<const std::uint8_t> chunk) {
                             std::memcpy(sink.data() + at, chunk.data(), chunk.size());
                             at += chunk.size();
                         });
                 }
             },
             [&] {
                 for (int k = 0; k < repeat; ++k) {
                     std::memcpy(sink.data(), data.data(), data.size());
                     asm volatile("" : : "r"(sink.data()) : "memory");
                 }
             });
        pair((name + " encode, MB/s of input").c_str(), "greedy reference (exhaustive)", ">= 20",
             pairs, mb, [&] { (void)cartscope::core::compress(codec, data); },
             [&] { (void)cartscope::bench::greedySize(data, lz11, true); });
        const std::size_t greedy = cartscope::bench::greedySize(data, lz11, true);
        const std::size_t optimal = cartscope::bench::optimalSize(data, lz11, true);
        const bool met = packed.size() <= greedy && packed.size() <= optimal * 1.02;
        ok = ok && met;
        std::printf("| %s size of %zu bytes: %zu (%.2f%%) | greedy %zu, optimal %zu | %+.2f%% vs "
                    "greedy | %+.2f%% vs optimal | | | <= greedy, <= optimal + 2%% | %s |\n",
                    name.c_str(), data.size(), packed.size(),
                    100.0 * static_cast<double>(packed.size()) / static_cast<double>(data.size()),
                    greedy, optimal,
                    100.0 * (static_cast<double>(packed.size()) / static_cast<double>(greedy) - 1),
                    100.0 * (static_cast<double>(packed.size()) / static_cast<double>(optimal) - 1),
                    met ? "met" : "MISSED");
    }
    ok = adpcm(pairs) && ok;
    return ok ? 0 : 1;
}
