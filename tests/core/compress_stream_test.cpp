#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/compress/compress.h"
#include "core/compress/encode.h"

namespace {

using cartscope::core::Codec;
using cartscope::core::compress;
using cartscope::core::decompress;
using cartscope::core::decompressStream;
using cartscope::core::EncodeOptions;
using cartscope::core::Error;
using cartscope::core::identifyCompression;
using Bytes = std::vector<std::uint8_t>;

Bytes random(std::size_t n, std::uint32_t seed)
{
    Bytes b(n);
    for (auto& x : b) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<std::uint8_t>(seed >> 24);
    }
    return b;
}

Bytes text(std::size_t n)
{
    static const char* const kWords[] = {"the ", "slime ", "attacks ", "!\n", "you ", "gold "};
    Bytes b;
    std::uint32_t seed = 7;
    while (b.size() < n) {
        seed = seed * 1664525u + 1013904223u;
        for (const char* c = kWords[(seed >> 24) % 6]; *c && b.size() < n; ++c)
            b.push_back(static_cast<std::uint8_t>(*c));
    }
    return b;
}

// The fixtures every encoder round-trips.
struct Fixture {
    const char* name;
    Bytes data;
};

std::vector<Fixture> fixtures()
{
    Bytes edge = random(4096, 3); // repeated: its matches lie exactly 4096 bytes back
    const Bytes again = edge;
    edge.insert(edge.end(), again.begin(), again.end());
    edge.insert(edge.end(), again.begin(), again.begin() + 100);
    Bytes beyond = random(4097, 5); // repeated 4097 back: out of every window
    const Bytes b2 = beyond;
    beyond.insert(beyond.end(), b2.begin(), b2.end());
    Bytes runs(65808 + 273 + 19, 0xAB); // LZ11's longest reference and the lengths around it
    const Bytes rnd = random(5000, 9);
    runs.insert(runs.end(), rnd.begin(), rnd.end());
    runs.insert(runs.end(), 131, 0xCD); // RLE's longest run plus one
    Bytes everyValue; // a complete Huffman tree: its widest level is 128 inner nodes
    for (int i = 0; i < 40 * 256; ++i)
        everyValue.push_back(static_cast<std::uint8_t>(i * 7));
    return {{"empty", {}},
            {"one byte", {0x42}},
            {"random (incompressible)", random(70000, 1)},
            {"all zero", Bytes(200000, 0)},
            {"text", text(50000)},
            {"window edge", edge},
            {"beyond the window", beyond},
            {"maximum-length runs", runs},
            {"every byte value alike", everyValue}};
}

// An independent LZ10/LZ11 decoder, reporting the smallest distance it met.
Bytes expectLz(const Bytes& in, bool lz11, std::size_t& minDistance)
{
    std::size_t size = in[1] | (in[2] << 8) | (in[3] << 16);
    std::size_t at = 4;
    if (size == 0 && in.size() >= 8) {
        size = in[4] | (in[5] << 8) | (in[6] << 16) | (std::size_t{in[7]} << 24);
        at = 8;
    }
    Bytes out;
    minDistance = SIZE_MAX;
    while (out.size() < size) {
        const unsigned flags = in.at(at++);
        for (unsigned mask = 0x80; mask && out.size() < size; mask >>= 1) {
            if (!(flags & mask)) {
                out.push_back(in.at(at++));
                continue;
            }
            std::size_t n = 0;
            std::size_t d = 0;
            const unsigned a = in.at(at);
            const unsigned b = in.at(at + 1);
            if (!lz11) {
                n = (a >> 4) + 3, d = ((a & 15) << 8 | b) + 1, at += 2;
            } else if ((a >> 4) >= 2) {
                n = (a >> 4) + 1, d = ((a & 15) << 8 | b) + 1, at += 2;
            } else if ((a >> 4) == 0) {
                n = ((a & 15) << 4 | b >> 4) + 17, d = ((b & 15) << 8 | in.at(at + 2)) + 1, at += 3;
            } else {
                n = ((a & 15) << 12 | b << 4 | in.at(at + 2) >> 4) + 273;
                d = ((in.at(at + 2) & 15) << 8 | in.at(at + 3)) + 1, at += 4;
            }
            minDistance = std::min(minDistance, d);
            for (std::size_t k = 0; k < n && out.size() < size; ++k)
                out.push_back(out.at(out.size() - d));
        }
    }
    return out;
}

TEST(CompressStream, EveryEncoderRoundTripsTheFixtures)
{
    for (const Fixture& f : fixtures()) {
        for (const Codec codec : {Codec::Lz10, Codec::Lz11, Codec::Lz77Lz10, Codec::Rle}) {
            for (const bool vramSafe : {true, false}) {
                SCOPED_TRACE(std::string(f.name) + " " +
                             std::string(cartscope::core::codecName(codec)) +
                             (vramSafe ? " vram-safe" : ""));
                EncodeOptions options;
                options.vramSafe = vramSafe;
                const Bytes packed = compress(codec, f.data, options);
                EXPECT_EQ(decompress(packed, "f.bin"), f.data);
                if (codec == Codec::Rle)
                    continue;
                std::size_t minDistance = 0;
                const Bytes lz(packed.begin() + (codec == Codec::Lz77Lz10 ? 4 : 0), packed.end());
                EXPECT_EQ(expectLz(lz, codec == Codec::Lz11, minDistance), f.data);
                if (vramSafe) {
                    EXPECT_GE(minDistance, 2u);
                }
            }
        }
    }
}

// An independent Huffman encoder (the product has none): a comb-shaped tree, each inner node
// holding the next most frequent unit as child 0 and the next inner node as child 1, so every
// child pair directly follows its node (offset 0) whatever the number of units.
Bytes huffmanComb(const Bytes& data, unsigned bits)
{
    Bytes units;
    for (const std::uint8_t b : data) {
        if (bits == 8) {
            units.push_back(b);
        } else {
            units.push_back(b & 15);
            units.push_back(b >> 4);
        }
    }
    std::vector<std::pair<std::size_t, unsigned>> counts(1u << bits);
    for (unsigned u = 0; u < counts.size(); ++u)
        counts[u] = {0, u};
    for (const std::uint8_t u : units)
        ++counts[u].first;
    std::sort(counts.rbegin(), counts.rend());
    std::size_t n = 2;
    while (n < counts.size() && counts[n].first > 0)
        ++n;
    std::vector<std::size_t> rank(counts.size());
    for (std::size_t k = 0; k < n; ++k)
        rank[counts[k].second] = k;
    Bytes out = {static_cast<std::uint8_t>(0x20 | bits), static_cast<std::uint8_t>(data.size()),
                 static_cast<std::uint8_t>(data.size() >> 8),
                 static_cast<std::uint8_t>(data.size() >> 16)};
    if (data.empty()) // a 24-bit size of 0 with data after it: the 32-bit size follows
        out.insert(out.end(), 4, 0);
    out.push_back(static_cast<std::uint8_t>(n - 1));
    for (std::size_t j = 0; j + 1 < n; ++j) { // inner node j lies at 2j + 1, its children after
        if (j > 0)
            out.push_back(static_cast<std::uint8_t>(counts[j - 1].second));
        out.push_back(j + 2 == n ? 0xC0 : 0x80);
    }
    out.push_back(static_cast<std::uint8_t>(counts[n - 2].second));
    out.push_back(static_cast<std::uint8_t>(counts[n - 1].second));
    std::uint32_t word = 0;
    int filled = 0;
    const auto put = [&](unsigned bit) {
        word |= bit << (31 - filled);
        if (++filled == 32) {
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
            word = 0;
            filled = 0;
        }
    };
    for (const std::uint8_t u : units) { // rank k: k ones and a zero; the last rank no zero
        for (std::size_t k = 0; k < rank[u]; ++k)
            put(1);
        if (rank[u] + 1 < n)
            put(0);
    }
    while (filled != 0)
        put(0);
    return out;
}

TEST(CompressStream, HuffmanRoundTripsTheFixtures)
{
    for (const Fixture& f : fixtures()) {
        for (const unsigned bits : {4u, 8u}) {
            SCOPED_TRACE(std::string(f.name) + " " + std::to_string(bits));
            EXPECT_EQ(decompress(huffmanComb(f.data, bits), "f.bin"), f.data);
            const Bytes packed = compress(bits == 4 ? Codec::Huffman4 : Codec::Huffman8, f.data);
            EXPECT_EQ(packed[0], 0x20 | bits);
            EXPECT_EQ(decompress(packed, "f.bin"), f.data);
            // Never longer than the comb, which gives no unit a shorter code than its rank.
            EXPECT_LE(packed.size(), huffmanComb(f.data, bits).size());
        }
    }
}

// Trees of every width: 2 to 256 units of skewed and even counts, each one's table laid out
// within the 6-bit offsets (a wrong offset decodes other units).
TEST(CompressStream, HuffmanLaysOutTreesOfEveryShape)
{
    for (const unsigned units : {2u, 3u, 17u, 64u, 65u, 128u, 129u, 200u, 255u, 256u}) {
        for (const bool skewed : {false, true}) {
            SCOPED_TRACE(std::to_string(units) + (skewed ? " skewed" : " even"));
            Bytes data;
            for (unsigned u = 0; u < units; ++u)
                data.insert(data.end(), skewed ? 1 + (u * u) % 97 : 3,
                            static_cast<std::uint8_t>(u));
            const Bytes packed = compress(Codec::Huffman8, data);
            EXPECT_EQ(packed[4], units - 1); // one inner node fewer than units
            EXPECT_EQ(decompress(packed, "f.bin"), data);
        }
    }
    // Even counts of 256 units: every code 8 bits long, the stream as long as the data.
    Bytes all;
    for (unsigned u = 0; u < 256; ++u)
        all.push_back(static_cast<std::uint8_t>(u));
    EXPECT_EQ(compress(Codec::Huffman8, all).size(), 4 + 512 + 256u);
}

TEST(CompressStream, EncodersCompressWhatRepeats)
{
    const Bytes zeros(200000, 0);
    EXPECT_LT(compress(Codec::Lz10, zeros).size(), zeros.size() / 8);
    EXPECT_LT(compress(Codec::Lz11, zeros).size(), 64u);
    EXPECT_LT(compress(Codec::Rle, zeros).size(), zeros.size() / 60);
    // Incompressible data grows by the flag bytes only.
    const Bytes noise = random(8000, 1);
    EXPECT_LE(compress(Codec::Lz10, noise).size(), 4 + noise.size() + noise.size() / 8 + 1);
    // Past 16 MiB the 32-bit size form is written.
    const Bytes big((16u << 20) + 5, 1);
    const Bytes packed = compress(Codec::Lz11, big);
    EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 8), (Bytes{0x11, 0, 0, 0, 5, 0, 0, 1}));
    EXPECT_EQ(decompress(packed, "big.bin").size(), big.size());
}

// Hand-built streams of every form, with the bytes they stand for.
TEST(CompressStream, DecodesEachFormAsBuiltByHand)
{
    const std::string a21(21, 'a');
    const std::string a301(301, 'a');
    const struct {
        const char* form;
        Bytes in;
        std::string out;
    } cases[] = {
        {"LZ10 literals and a reference",
         {0x10, 8, 0, 0, 0x10, 'a', 'b', 'c', 0x20, 0x02},
         "abcabcab"},
        {"LZ10 with padding after the end",
         {0x10, 3, 0, 0, 0x00, 'x', 'y', 'z', 0, 0, 0, 0},
         "xyz"},
        {"LZ10 reference cut at the declared size", {0x10, 4, 0, 0, 0x40, 'q', 0xF0, 0x00}, "qqqq"},
        {"LZ11 2-byte form", {0x11, 8, 0, 0, 0x10, 'a', 'b', 'c', 0x40, 0x02}, "abcabcab"},
        {"LZ11 3-byte form", {0x11, 21, 0, 0, 0x40, 'a', 0x00, 0x30, 0x00}, a21},
        {"LZ11 4-byte form", {0x11, 0x2D, 0x01, 0, 0x40, 'a', 0x10, 0x01, 0xB0, 0x00}, a301},
        {"LZ11 32-bit size", {0x11, 0, 0, 0, 3, 0, 0, 0, 0x00, 'x', 'y', 'z'}, "xyz"},
        {"empty, 24-bit size 0", {0x10, 0, 0, 0}, ""},
        {"LZ77 tag then LZ10", {'L', 'Z', '7', '7', 0x10, 3, 0, 0, 0x00, 'a', 'b', 'c'}, "abc"},
        {"RLE run and literals", {0x30, 7, 0, 0, 0x82, 'A', 0x01, 'B', 'C'}, "AAAAABC"},
        {"Huffman 8-bit", {0x28, 4, 0, 0, 0x01, 0xC0, 'x', 'y', 0, 0, 0, 0x60}, "xyyx"},
        {"Huffman 8-bit, inner node",
         {0x28, 4, 0, 0, 0x02, 0x80, 'a', 0xC0, 'b', 'c', 0, 0, 0, 0x58},
         "abca"},
        {"Huffman 4-bit, low half first",
         {0x24, 1, 0, 0, 0x01, 0xC0, 0x1, 0x2, 0, 0, 0, 0x40},
         "\x21"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.form);
        EXPECT_EQ(decompress(c.in, "t.bin"), Bytes(c.out.begin(), c.out.end()));
    }
}

TEST(CompressStream, HostileInputsFailWithTheFileName)
{
    const struct {
        const char* what;
        Bytes in;
        const char* message;
    } cases[] = {
        {"empty", {}, "\"t.bin\": compressed data ends early"},
        {"header cut", {0x10, 8, 0}, "\"t.bin\": compressed data ends early"},
        {"LZ10 ends in a reference",
         {0x10, 8, 0, 0, 0x10, 'a', 'b', 'c', 0x20},
         "\"t.bin\": compressed data ends early"},
        {"LZ10 ends in literals", {0x10, 4, 0, 0, 0x00, 'a'}, "ends early"},
        {"LZ11 4-byte form cut", {0x11, 0x2D, 0x01, 0, 0x40, 'a', 0x10, 0x01}, "ends early"},
        {"LZ10 reference before the start",
         {0x10, 4, 0, 0, 0x80, 0x00, 0x00},
         "\"t.bin\": a back-reference points before the start of the data"},
        {"LZ11 reference one byte too far",
         {0x11, 9, 0, 0, 0x20, 'a', 'b', 0x50, 0x02},
         "before the start"},
        {"32-bit size over 64 MiB",
         {0x11, 0, 0, 0, 1, 0, 0, 4, 0},
         "\"t.bin\" declares 67108865 bytes decompressed, more than the 64 MiB limit"},
        {"LZ10 over 9 times its input",
         {0x10, 0x52, 0, 0, 0xFF, 0xF0, 0, 0xF0},
         "\"t.bin\" declares 82 bytes decompressed, more than LZ10 can make from 8 bytes"},
        {"RLE over 66 times its input", {0x30, 0x09, 0x02, 0, 0xFF, 0}, "more than RLE can make"},
        {"Huffman over 8 times its input",
         {0x28, 0x61, 0, 0, 0x01, 0xC0, 'x', 'y', 0, 0, 0, 0},
         "more than Huffman8 can make"},
        {"Huffman child outside the tree",
         {0x28, 4, 0, 0, 0x01, 0xC1, 'x', 'y', 0, 0, 0, 0x60},
         "\"t.bin\": the Huffman tree points outside itself"},
        {"Huffman tree past the end", {0x28, 1, 0, 0, 0x7F, 0xC0, 'x', 'y'}, "ends early"},
        {"Huffman bits run out",
         {0x28, 40, 0, 0, 0x01, 0xC0, 'x', 'y', 0, 0, 0, 0x60},
         "ends early"},
        {"RLE run cut", {0x30, 5, 0, 0, 0x82}, "ends early"},
        {"RLE literals cut", {0x30, 5, 0, 0, 0x04, 'a', 'b'}, "ends early"},
        {"unknown type", {0x40, 1, 0, 0, 0}, "\"t.bin\" is not compressed data (type byte 0x40)"},
        {"LZ77 tag before a non-LZ10 type",
         {'L', 'Z', '7', '7', 0x11, 1, 0, 0, 0, 'a'},
         "type byte 0x4C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            decompress(c.in, "t.bin");
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(CompressStream, StreamsThroughTheWindowInChunks)
{
    // 20 MiB made by LZ11's longest references from a few KiB of input: the sink sees it in
    // chunks of at most 64 KiB plus one reference, never the whole.
    const Bytes big(20u << 20, 0);
    const Bytes packed = compress(Codec::Lz11, big);
    ASSERT_LT(packed.size(), 8192u);
    std::uint64_t total = 0;
    std::size_t largest = 0;
    bool allZero = true;
    decompressStream(packed, "big.bin", [&](std::span<const std::uint8_t> chunk) {
        total += chunk.size();
        largest = std::max(largest, chunk.size());
        for (const std::uint8_t b : chunk)
            allZero = allZero && b == 0;
    });
    EXPECT_EQ(total, big.size());
    EXPECT_LE(largest, 4096u + 64 * 1024 + 65808);
    EXPECT_TRUE(allZero);
}

TEST(CompressStream, IdentifiesByHeaderAndTrialDecode)
{
    const Bytes data = text(20000);
    const Bytes lz10 = compress(Codec::Lz10, data);
    const Bytes head(lz10.begin(), lz10.begin() + 4096);
    EXPECT_EQ(identifyCompression(lz10, lz10.size()), Codec::Lz10);
    EXPECT_EQ(identifyCompression(head, lz10.size()), Codec::Lz10); // cut, but the file goes on
    const Bytes lz11 = compress(Codec::Lz11, data);
    const Bytes lz11Head(lz11.begin(), lz11.begin() + 200);
    EXPECT_EQ(identifyCompression(lz11Head, 1000), Codec::Lz11);
    EXPECT_EQ(identifyCompression(lz11Head, 200), std::nullopt); // the file itself ends early
    EXPECT_EQ(identifyCompression(lz11, lz11.size()), Codec::Lz11);
    const Bytes rle = compress(Codec::Rle, data);
    EXPECT_EQ(identifyCompression(rle, rle.size()), Codec::Rle);
    const Bytes badRef = {0x10, 4, 0, 0, 0x80, 0x00, 0x00};
    EXPECT_EQ(identifyCompression(badRef, badRef.size()), std::nullopt);
    const Bytes zeroSize = {0x10, 0, 0, 0};
    EXPECT_EQ(identifyCompression(zeroSize, 4), std::nullopt);
    const Bytes plain = {'N', 'C', 'G', 'R', 0xFF, 0xFE};
    EXPECT_EQ(identifyCompression(plain, 1000), std::nullopt);
    // A declared size that 100 bytes of LZ10 cannot make.
    EXPECT_EQ(identifyCompression(Bytes(lz10.begin(), lz10.begin() + 100), 100), std::nullopt);
}

} // namespace
