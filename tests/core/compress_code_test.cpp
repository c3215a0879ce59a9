#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/compress/code.h"

namespace {

using cartscope::core::arm9CodeState;
using cartscope::core::compressArm9;
using cartscope::core::compressCode;
using cartscope::core::decompressArm9;
using cartscope::core::decompressCode;
using cartscope::core::Error;
using cartscope::core::overlayCompression;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t word(const Bytes& b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}

void putWord(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Code-like bytes: ARM words from a small set of opcodes and registers, with literal pools.
Bytes code(std::size_t n, std::uint32_t seed)
{
    Bytes b;
    while (b.size() < n) {
        seed = seed * 1664525u + 1013904223u;
        const std::uint32_t w = (seed >> 28) < 3 ? seed : 0xE1A00000u | ((seed >> 8) & 0x0F0FF);
        for (int i = 0; i < 4 && b.size() < n; ++i)
            b.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    }
    return b;
}

// The console's way: decoded in one buffer holding the compressed file at its start, reading
// and writing downwards. A write below the read position would destroy unread input: counted.
struct InPlace {
    Bytes out;
    int overwrites = 0;
};

InPlace decodeInPlace(const Bytes& file)
{
    const std::uint32_t footer = word(file, file.size() - 8);
    const std::size_t region = footer & 0xFFFFFF;
    const std::size_t extra = word(file, file.size() - 4);
    InPlace r;
    r.out = file;
    r.out.resize(file.size() + extra);
    std::size_t src = file.size() - (footer >> 24);
    std::size_t dst = r.out.size();
    const std::size_t bottom = file.size() - region;
    while (src > bottom && dst > bottom) {
        unsigned flags = r.out[--src];
        for (int i = 0; i < 8 && src > bottom && dst > bottom; ++i, flags <<= 1) {
            if (flags & 0x80) {
                const unsigned hi = r.out[--src];
                const unsigned lo = r.out[--src];
                const std::size_t disp = ((hi & 15) << 8 | lo) + 3;
                for (unsigned k = 0; k < (hi >> 4) + 3 && dst > bottom; ++k, --dst)
                    r.out[dst - 1] = r.out[dst - 1 + disp];
            } else {
                const std::uint8_t b = r.out[--src];
                r.out[--dst] = b;
            }
            if (dst < src)
                ++r.overwrites;
        }
    }
    EXPECT_EQ(dst, bottom);
    return r;
}

TEST(CompressCode, RoundTripsInPlaceWithoutOverwritingInput)
{
    Bytes edge = code(4098, 4); // repeated 4098 bytes back: the farthest reference
    const Bytes first = edge;
    edge.insert(edge.end(), first.begin(), first.end());
    Bytes tailRandom = Bytes(30000, 0);
    const Bytes noise = code(3000, 8);
    for (std::size_t i = 0; i < 3000; ++i)
        tailRandom[i] = static_cast<std::uint8_t>(noise[i] * 37 + i);
    const struct {
        const char* name;
        Bytes data;
        std::size_t rawPrefix;
    } cases[] = {
        {"code", code(100000, 1), 0},
        {"code, 0x4000 raw", code(100000, 2), 0x4000},
        {"all zero", Bytes(70000, 0), 0},
        {"window edge", edge, 0},
        {"noisy start, zero end", tailRandom, 0},
        {"odd length", code(12345, 3), 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cartscope::core::CodeOptions options;
        options.rawPrefix = c.rawPrefix;
        const auto packed = compressCode(c.data, options);
        ASSERT_TRUE(packed);
        EXPECT_LT(packed->size(), c.data.size());
        EXPECT_EQ(packed->size() % 4, 0u);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.begin() + c.rawPrefix, packed->begin()));
        EXPECT_EQ(decompressCode(*packed, "overlay.bin"), c.data);
        const InPlace r = decodeInPlace(*packed);
        EXPECT_EQ(r.overwrites, 0);
        EXPECT_EQ(r.out, c.data);
    }
    // Nothing to gain: stored as it is by the caller.
    Bytes noise2(5000);
    std::uint32_t seed = 1;
    for (auto& b : noise2) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    EXPECT_FALSE(compressCode(noise2));
}

// Hand-built: "abc" ten times, read backwards as c, b, a, then 18 and 9 bytes 3 back; "HD"
// stored below.
const Bytes kAbc = {'H',  'D',  0x00, 0x60, 0x00, 0xF0, 'a',  'b',  'c',
                    0x18, 0x10, 0x00, 0x00, 0x08, 0x0E, 0x00, 0x00, 0x00};

TEST(CompressCode, DecodesAHandBuiltFile)
{
    std::string expected = "HD";
    for (int i = 0; i < 10; ++i)
        expected += "abc";
    EXPECT_EQ(decompressCode(kAbc, "o.bin"), Bytes(expected.begin(), expected.end()));
    // An extra size of 0: stored as it is.
    const Bytes stored = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(decompressCode(stored, "o.bin"), stored);
}

TEST(CompressCode, HostileFilesFailWithTheFileName)
{
    const auto withFooter = [](Bytes body, std::uint32_t region, std::uint32_t footer,
                               std::uint32_t extra) {
        const std::size_t at = body.size();
        body.resize(at + 8);
        putWord(body, at, region | (footer << 24));
        putWord(body, at + 4, extra);
        return body;
    };
    const struct {
        const char* what;
        Bytes in;
        const char* message;
    } cases[] = {
        {"shorter than the footer", {1, 2, 3}, "\"o.bin\": compressed data ends early"},
        {"region longer than the file", withFooter({0, 0, 0, 0}, 13, 8, 4), "does not fit"},
        {"footer shorter than 8", withFooter({0, 0, 0, 0}, 12, 7, 4), "does not fit"},
        {"footer longer than the region", withFooter({0, 0, 0, 0}, 8, 9, 4), "does not fit"},
        {"over 16 MiB", withFooter(Bytes(4000, 0xFF), 4008, 8, 16u << 20),
         "\"o.bin\" declares 16781224 bytes decompressed, more than the 16 MiB limit"},
        {"over 9 times the region", withFooter({0xFF, 0xFF}, 10, 8, 9),
         "more than code compression can make"},
        {"first token a reference", withFooter({0x00, 0x00, 0x80}, 11, 8, 15),
         "\"o.bin\": a back-reference points before the start of the data"},
        {"input ends", withFooter({'a', 'b', 0x00}, 11, 8, 10),
         "\"o.bin\": compressed data ends early"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            decompressCode(c.in, "o.bin");
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // The hand-built file cut at each length either fails or decodes: never anything else.
    for (std::size_t n = 0; n < kAbc.size(); ++n) {
        try {
            decompressCode(Bytes(kAbc.begin(), kAbc.begin() + n), "o.bin");
        } catch (const Error&) {
        }
    }
}

// An ARM9 binary with module parameters at 0x800 (magic words at +0x1C, +0x20).
Bytes arm9(std::size_t size)
{
    Bytes b = code(size, 11);
    putWord(b, 0x800 + 0x14, 0);
    putWord(b, 0x800 + 0x1C, 0xDEC00621);
    putWord(b, 0x800 + 0x20, 0x2106C0DE);
    return b;
}

TEST(CompressCode, Arm9CompressedThroughItsModuleParameters)
{
    constexpr std::uint32_t kRam = 0x02000000;
    const Bytes plain = arm9(0x30000);
    const auto before = arm9CodeState(plain, kRam, "arm9.bin");
    EXPECT_TRUE(before.hasModuleParams);
    EXPECT_EQ(before.paramsOffset, 0x800u);
    EXPECT_FALSE(before.compressed);

    const Bytes packed = compressArm9(plain, kRam, "arm9.bin");
    ASSERT_LT(packed.size(), plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 0x800 + 0x14, packed.begin()));
    EXPECT_TRUE(std::equal(plain.begin() + 0x818, plain.begin() + 0x4000, packed.begin() + 0x818));
    EXPECT_EQ(word(packed, 0x814), kRam + packed.size());
    const auto after = arm9CodeState(packed, kRam, "arm9.bin");
    EXPECT_TRUE(after.compressed);
    EXPECT_EQ(after.compressedEnd, packed.size());
    EXPECT_EQ(decompressArm9(packed, kRam, "arm9.bin"), plain);

    // Bytes past the compressed end are kept after the decompressed ones.
    Bytes withTail = packed;
    withTail.insert(withTail.end(), {0xAA, 0xBB});
    Bytes plainWithTail = plain;
    plainWithTail.insert(plainWithTail.end(), {0xAA, 0xBB});
    EXPECT_EQ(decompressArm9(withTail, kRam, "arm9.bin"), plainWithTail);

    // Not compressed: a copy. No module parameters: nothing found, and no compressing.
    EXPECT_EQ(decompressArm9(plain, kRam, "arm9.bin"), plain);
    const Bytes bare = code(0x5000, 12);
    EXPECT_FALSE(arm9CodeState(bare, kRam, "arm9.bin").hasModuleParams);
    EXPECT_THROW(compressArm9(bare, kRam, "arm9.bin"), Error);
    EXPECT_THROW(compressArm9(packed, kRam, "arm9.bin"), Error);

    // A compressed end outside the binary.
    for (const std::uint32_t end : {kRam, kRam - 4, kRam + 0x30004}) {
        Bytes bad = plain;
        putWord(bad, 0x814, end);
        EXPECT_THROW(arm9CodeState(bad, kRam, "arm9.bin"), Error) << end;
    }
}

TEST(CompressCode, OverlayTableWord)
{
    EXPECT_TRUE(overlayCompression(0x01001234).compressed);
    EXPECT_EQ(overlayCompression(0x01001234).size, 0x1234u);
    EXPECT_FALSE(overlayCompression(0x02FFFFFF).compressed);
    EXPECT_EQ(overlayCompression(0x02FFFFFF).size, 0xFFFFFFu);
}

} // namespace
