#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/compress/encode.h"
#include "core/formats/identify.h"
#include "tests/fixture/formats_builder.h"

namespace {

using cartscope::core::Codec;
using cartscope::core::compress;
using cartscope::core::formats::FileFormat;
using cartscope::core::formats::formatText;
using cartscope::core::formats::identify;
using cartscope::fixture::Bytes;
namespace fixture = cartscope::fixture;

Bytes noise(std::size_t n)
{
    Bytes b(n);
    std::uint32_t seed = 11;
    for (auto& x : b) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<std::uint8_t>(seed >> 24);
    }
    return b;
}

TEST(FormatsIdentify, TellsFormatAndCompressionFromTheFirstBytes)
{
    const Bytes ncgr = fixture::ncgrFile(4, 2, 2, false, 0, Bytes(128, 0x12));
    const Bytes nclr = fixture::nclrFile(4, std::vector<std::uint16_t>(16, 0x7FFF));
    fixture::BmgFields fields;
    fields.messages = {{'h', 0, 'i', 0}};
    const Bytes bmg = fixture::bmgFile(fields);
    const Bytes narc = {'N', 'A', 'R', 'C', 0xFE, 0xFF, 0, 1, 16, 0, 0, 0, 16, 0, 0, 0};
    // A large NCGR, compressed: only its first 4 KiB are looked at, and they end mid-stream.
    const Bytes bigNcgr =
        compress(Codec::Lz10, fixture::ncgrFile(8, 64, 64, false, 0, noise(64 * 64 * 64)));
    Bytes badReference = compress(Codec::Lz10, Bytes(100, 'a'));
    badReference[4] = 0xFF; // the first token a reference: nothing to refer to

    struct Case {
        const char* name;
        Bytes bytes;
        std::uint64_t fileSize; // 0: the bytes' own size
        std::optional<std::string> format;
        std::optional<Codec> compression;
    };
    const std::vector<Case> cases = {
        {"NCGR", ncgr, 0, "NCGR", std::nullopt},
        {"NCLR", nclr, 0, "NCLR", std::nullopt},
        {"BMG", bmg, 0, "BMG", std::nullopt},
        {"NARC", narc, 0, "NARC", std::nullopt},
        {"LZ10 NCLR", compress(Codec::Lz10, nclr), 0, "NCLR", Codec::Lz10},
        {"LZ11 NCGR", compress(Codec::Lz11, ncgr), 0, "NCGR", Codec::Lz11},
        {"LZ77 tag", compress(Codec::Lz77Lz10, narc), 0, "NARC", Codec::Lz77Lz10},
        {"Huffman BMG", compress(Codec::Huffman8, bmg), 0, "BMG", Codec::Huffman8},
        {"Huffman nibbles", compress(Codec::Huffman4, ncgr), 0, "NCGR", Codec::Huffman4},
        {"RLE of unknown bytes", compress(Codec::Rle, Bytes(300, 9)), 0, std::nullopt, Codec::Rle},
        {"compressed, head only", Bytes(bigNcgr.begin(), bigNcgr.begin() + 4096), bigNcgr.size(),
         "NCGR", Codec::Lz10},
        {"compressed, cut short", Bytes(bigNcgr.begin(), bigNcgr.begin() + 4096), 4096,
         std::nullopt, std::nullopt},
        {"reference before the start", badReference, 0, std::nullopt, std::nullopt},
        {"type byte, size past the ratio",
         {0x10, 0xFF, 0xFF, 0x00, 0, 0, 0, 0},
         0,
         std::nullopt,
         std::nullopt},
        {"unknown bytes", noise(500), 0, std::nullopt, std::nullopt},
        {"empty", {}, 0, std::nullopt, std::nullopt},
        {"magic cut short", {'R', 'G', 'C'}, 0, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileFormat f = identify(c.bytes, c.fileSize ? c.fileSize : c.bytes.size());
        EXPECT_EQ(f.format, c.format);
        EXPECT_EQ(f.compression, c.compression);
    }
}

TEST(FormatsIdentify, FormatTextNamesBothLayers)
{
    EXPECT_EQ(formatText({"NCGR", Codec::Lz11}), "LZ11 \u2192 NCGR");
    EXPECT_EQ(formatText({"NCGR", std::nullopt}), "NCGR");
    EXPECT_EQ(formatText({std::nullopt, Codec::Rle}), "RLE");
    EXPECT_EQ(formatText({}), "");
}

} // namespace
