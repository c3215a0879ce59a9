// The layout's JSON: what it encodes decodes to the same, and every fault in hostile text is
// refused with the user's message.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/path_index.h"

namespace {

using namespace cartscope::core::rebuild;

// A 0x3000-byte image: header, one file with a name that is not UTF-8, the tables, a fill and a
// gap.
Layout sample()
{
    Layout l;
    l.imageSize = 0x3000;
    l.regions.push_back({RegionKind::Header, 0, 0, 0x200, "[system]/header.bin", 5, {}, {}});
    Region f{RegionKind::File, 7, 0x200, 0x100, "d/\xff\"q\\.bin", -3, Sha1{}, {}};
    f.sha1->fill(0xAB);
    f.decompressed = Decompressed{cartscope::core::Codec::Lz11, 1024, Sha1{}};
    f.decompressed->sha1.fill(0xCD);
    l.regions.push_back(f);
    l.regions.push_back({RegionKind::Fnt, 0, 0x300, 0x10, "fnt.bin", {}, {}, {}});
    l.regions.push_back({RegionKind::Fat, 0, 0x310, 0x8, "fat.bin", {}, {}, {}});
    l.runs.push_back({0x318, 0xCE8, std::nullopt, gapFile(0x318)});
    l.runs.push_back({0x1000, 0x2000, std::uint8_t{0xFF}, {}});
    return l;
}

TEST(Layout, EncodesAndDecodesToTheSame)
{
    const std::string text = encodeLayout(sample());
    const Layout back = decodeLayout(text, "x");
    EXPECT_EQ(encodeLayout(back), text);
    ASSERT_EQ(back.regions.size(), 4u);
    EXPECT_EQ(back.regions[1].path, "d/\xff\"q\\.bin");
    EXPECT_EQ(back.regions[1].mtimeNs, -3);
    EXPECT_EQ((*back.regions[1].sha1)[19], 0xAB);
    EXPECT_EQ(back.runs[1].fill, 0xFF);
    ASSERT_TRUE(back.regions[1].decompressed);
    EXPECT_EQ(back.regions[1].decompressed->codec, cartscope::core::Codec::Lz11);
    EXPECT_EQ(back.regions[1].decompressed->size, 1024u);
    EXPECT_EQ(back.regions[1].decompressed->sha1[0], 0xCD);
    EXPECT_FALSE(back.regions[0].decompressed);
}

// A layout of many files is handed out in pieces as it is made, never held whole; the pieces
// join to the whole text.
TEST(Layout, ALargeLayoutIsWrittenInPieces)
{
    Layout l = sample();
    for (std::uint32_t k = 0; k < 4000; ++k)
        l.regions.insert(
            l.regions.end() - 2,
            Region{RegionKind::File, k, 0x200, 0x100, "f" + std::to_string(k), 1, {}, {}});
    std::vector<std::size_t> pieces;
    std::string joined;
    encodeLayout(l, [&](std::string_view piece) {
        pieces.push_back(piece.size());
        joined += piece;
    });
    EXPECT_EQ(joined, encodeLayout(l));
    EXPECT_GT(pieces.size(), 2u);
    for (const std::size_t n : pieces)
        EXPECT_LT(n, 70u * 1024);
}

// The padding between two files fills its hole whole, however short: a fill, not a gap file.
TEST(Layout, AShortFillOfAWholeHoleIsTaken)
{
    Layout l = sample();
    l.regions[1].offset = 0x210;
    l.regions[1].size = 0xF0;
    l.runs.insert(l.runs.begin(),
                  cartscope::core::rebuild::Run{0x200, 0x10, std::uint8_t{0xFF}, {}});
    const Layout back = decodeLayout(encodeLayout(l), "x");
    ASSERT_EQ(back.runs.size(), 3u);
    EXPECT_EQ(back.runs[0].fill, 0xFF);
    EXPECT_EQ(back.runs[0].size, 0x10u);
}

TEST(Layout, HostileTextIsRefused)
{
    const std::string good = encodeLayout(sample());
    // The file's path as the layout spells it (hex: it is not UTF-8).
    const std::size_t bytesAt = good.find("\"pathBytes\": \"");
    const std::string filePath = good.substr(bytesAt, good.find('"', bytesAt + 14) + 1 - bytesAt);
    struct Case {
        const char* name;
        std::string from, to;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"trailing bytes", "]}\n", "]}x", "not valid JSON"},
        {"cut short", "]}\n", "]", "not valid JSON"},
        {"unknown key", "\"imageSize\"", "\"imageSiz\"", "a key this program does not know"},
        {"repeated key", "\"version\": 1", "\"version\": 1, \"version\": 1", "repeats the key"},
        {"a fraction", "\"version\": 1", "\"version\": 1.0", "not valid JSON"},
        {"a leading zero", "\"version\": 1", "\"version\": 01", "not valid JSON"},
        {"a number past 64 bits", "12288", "99999999999999999999", "not valid JSON"},
        {"an image past 4 GiB", "12288", "4294967297", "past 4 GiB"},
        {"a region past the image", "\"offset\": 512, \"size\": 256",
         "\"offset\": 12200, \"size\": 256", "region past the end"},
        {"a region wrapping around", "\"offset\": 512, \"size\": 256",
         "\"offset\": 18446744073709551615, \"size\": 2", "region past the end"},
        {"bytes without a source", "\"offset\": 4096, \"size\": 8192",
         "\"offset\": 4097, \"size\": 8191", "without a source"},
        {"a fill under 4 KiB", "\"offset\": 4096, \"size\": 8192, \"fill\": 255",
         "\"offset\": 4096, \"size\": 4095, \"fill\": 255", "shorter than 4096"},
        {"a path leaving the tree", "[system]/header.bin", "../header.bin",
         "cannot be in the tree"},
        {"an absolute path", "[system]/header.bin", "/etc/passwd", "cannot be in the tree"},
        {"a table file elsewhere", "\"path\": \"fnt.bin\"", "\"path\": \"../fnt.bin\"",
         "other than fnt.bin"},
        {"a gap file elsewhere", "gaps/00000318.bin", "gaps/../../x.bin", "gap file other than"},
        {"an unknown kind", "\"kind\": \"header\"", "\"kind\": \"arm11\"", "region kind"},
        {"a file ID past 16 bits", "\"id\": 7", "\"id\": 65536", "file ID out of range"},
        {"a header twice", "\"kind\": \"file\", \"id\": 7", "\"kind\": \"header\"",
         "lists the header region twice"},
        {"a file ID twice", "\"kind\": \"header\"", "\"kind\": \"file\", \"id\": 7",
         "lists file ID 7 twice"},
        {"a path twice", "\"path\": \"[system]/header.bin\"", filePath, "lists the path"},
        {"a lone surrogate", "[system]/header.bin", "\\ud800", "not valid JSON"},
        {"a control character", "[system]/header.bin", "a\tb", "not valid JSON"},
        {"no modification time", ", \"mtimeNs\": 5", "", "modification time is missing"},
        {"an unknown codec", "\"codec\": \"LZ11\"", "\"codec\": \"LZ12\"",
         "codec this program does not know"},
        {"code compression on a tree file", "\"codec\": \"LZ11\"", "\"codec\": \"code\"",
         "cannot be packed with it"},
        {"a decompressed size without its codec", ", \"codec\": \"LZ11\"", "",
         "only some of codec"},
        {"a decompressed size past 64 MiB", "\"decompressedSize\": 1024",
         "\"decompressedSize\": 67108865", "decompressed size out of range"},
        {"a stream codec on the header", "\"mtimeNs\": 5",
         "\"mtimeNs\": 5, \"codec\": \"RLE\", "
         "\"decompressedSize\": 1, \"decompressedSha1\": \"" +
             std::string(40, '0') + "\"",
         "cannot be packed with it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = good;
        const auto at = text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, c.from.size(), c.to);
        try {
            decodeLayout(text, "L");
            ADD_FAILURE() << "accepted";
        } catch (const cartscope::core::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("The layout \"L\" ", 0), 0u) << e.what();
        }
    }
}

TEST(Layout, DeepOrHugeInputIsRefusedWithoutGrowing)
{
    EXPECT_THROW(decodeLayout(std::string(100000, '['), "L"), cartscope::core::Error);
    EXPECT_THROW(decodeLayout("{\"format\": \"" + std::string(100000, 'a') + "\"}", "L"),
                 cartscope::core::Error);
    EXPECT_THROW(decodeLayout(std::string(kMaxLayoutBytes + 1, ' '), "L"), cartscope::core::Error);
}

// Paths the index took are found with their values, past the room it was made with; a repeat
// is refused and leaves the first value; paths it never took, prefixes and extensions of its
// paths included, are not found.
TEST(PathIndex, FindsWhatItTookAndRefusesRepeats)
{
    std::vector<std::string> paths = {"", "a", "a/b", "a/b.bin", "a/b.bi", "\xff/\x01"};
    for (int i = 0; i < 3000; ++i)
        paths.push_back("dir" + std::to_string(i % 7) + "/file" + std::to_string(i) + ".bin");
    PathIndex index(10);
    for (std::size_t i = 0; i < paths.size(); ++i)
        ASSERT_TRUE(index.insert(paths[i], static_cast<std::uint32_t>(i))) << paths[i];
    EXPECT_EQ(index.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_FALSE(index.insert(paths[i], 99999)) << paths[i];
        EXPECT_EQ(index.find(paths[i]), std::optional<std::uint32_t>(i)) << paths[i];
    }
    EXPECT_EQ(index.size(), paths.size());
    for (const char* absent : {"b", "a/", "a/b.b", "a/b.binx", "dir0/file1.bin", "/a"})
        EXPECT_FALSE(index.find(absent)) << absent;
}

} // namespace
