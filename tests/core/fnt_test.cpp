#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/io/stream.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::core::GetDirNameForDirID;
using cartscope::core::MemoryStream;
using cartscope::core::ParseFNT;
using cartscope::core::TDirEntry;
using cartscope::core::TFileEntry;
using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;

struct Parsed {
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
};

Parsed parse(const Bytes& image, std::uint64_t fnt, std::uint64_t fat)
{
    Parsed p;
    MemoryStream s(image);
    ParseFNT(s, fnt, fat, p.files, p.dirs);
    return p;
}

Parsed parseBuilt(const ImageBuilder& b)
{
    const Bytes image = b.build();
    return parse(image, b.layout().fntOffset, b.layout().fatOffset);
}

// Hand-made tables for hostile cases: FNT at 0, FAT at kFat.
constexpr std::size_t kFat = 0x1000;

struct Raw {
    Bytes b = Bytes(0x2000, 0);
    void u8(std::size_t at, std::uint8_t v) { b.at(at) = v; }
    void u16(std::size_t at, std::uint16_t v)
    {
        u8(at, static_cast<std::uint8_t>(v));
        u8(at + 1, static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::size_t at, std::uint32_t v)
    {
        u16(at, static_cast<std::uint16_t>(v));
        u16(at + 2, static_cast<std::uint16_t>(v >> 16));
    }
    void main(std::size_t k, std::uint32_t sub, std::uint16_t firstFile, std::uint16_t field)
    {
        u32(k * 8, sub);
        u16(k * 8 + 4, firstFile);
        u16(k * 8 + 6, field);
    }
    // Writes sub-table entries at `at`; returns the position after them.
    std::size_t file(std::size_t at, const std::string& name)
    {
        u8(at, static_cast<std::uint8_t>(name.size()));
        for (std::size_t k = 0; k < name.size(); ++k)
            u8(at + 1 + k, static_cast<std::uint8_t>(name[k]));
        return at + 1 + name.size();
    }
    std::size_t dir(std::size_t at, const std::string& name, std::uint16_t id)
    {
        const std::size_t after = file(at, name);
        u8(at, static_cast<std::uint8_t>(0x80 | name.size()));
        u16(after, id);
        return after + 2;
    }
    void fat(std::size_t id, std::uint32_t start, std::uint32_t end)
    {
        u32(kFat + 8 * id, start);
        u32(kFat + 8 * id + 4, end);
    }
    Parsed parse() const { return ::parse(b, 0, kFat); }
};

TEST(Fnt, RootOnlyWithThreeFiles)
{
    ImageBuilder b;
    b.root({Node::file("a.bin", "aaaa"), Node::file("b.bin", "bb"), Node::file("c.bin", "")});
    const Bytes image = b.build();
    const auto p = parse(image, b.layout().fntOffset, b.layout().fatOffset);
    ASSERT_EQ(p.files.size(), 3u);
    EXPECT_TRUE(p.dirs.empty());
    EXPECT_EQ(p.files[0].Name, "a.bin");
    EXPECT_EQ(p.files[1].Name, "b.bin");
    EXPECT_EQ(p.files[2].Name, "c.bin");
    EXPECT_EQ(p.files[0].Size, 4);
    EXPECT_EQ(p.files[1].Size, 2);
    EXPECT_EQ(p.files[2].Size, 0);
    for (const auto& f : p.files)
        EXPECT_EQ(f.DirIndex, 0);
    const auto start = p.files[0].StartOffset;
    EXPECT_EQ(std::string(image.begin() + static_cast<long>(start),
                          image.begin() + static_cast<long>(start) + 4),
              "aaaa");
}

TEST(Fnt, FirstFileIdUsesAllSixteenBits)
{
    // Images with more than 4096 files: a directory starting at file ID 0x1005 reads the FAT
    // entry of ID 0x1005, not that of ID 5.
    ImageBuilder b;
    b.firstFileId(0x1005).root({Node::file("late.bin", "late")});
    const Bytes image = b.build();
    const auto p = parse(image, b.layout().fntOffset, b.layout().fatOffset);
    ASSERT_EQ(p.files.size(), 1u);
    EXPECT_EQ(p.files[0].Size, 4);
    const auto start = p.files[0].StartOffset;
    EXPECT_EQ(std::string(image.begin() + static_cast<long>(start),
                          image.begin() + static_cast<long>(start) + 4),
              "late");
}

TEST(Fnt, NestedTreeGivesDirectoriesAndPaths)
{
    ImageBuilder b;
    b.firstFileId(2).root({
        Node::file("readme.txt", "r"),
        Node::dir("data",
                  {Node::file("l1.bin", "1"), Node::dir("sound", {Node::file("bgm.sdat", "bgm")})}),
        Node::dir("gfx", {Node::file("font.nftr", "f")}),
    });
    const auto p = parseBuilt(b);
    ASSERT_EQ(p.dirs.size(), 3u);
    EXPECT_EQ(p.dirs[0].Name, "data");
    EXPECT_EQ(p.dirs[0].DirID, 1);
    EXPECT_EQ(p.dirs[0].ParentID, 0);
    EXPECT_EQ(p.dirs[1].Name, "gfx");
    EXPECT_EQ(p.dirs[2].Name, "sound");
    EXPECT_EQ(p.dirs[2].ParentID, 1);
    EXPECT_EQ(GetDirNameForDirID(p.dirs, p.dirs[2].DirID), "/data/sound/");
    EXPECT_EQ(GetDirNameForDirID(p.dirs, 2), "/gfx/");
    EXPECT_EQ(GetDirNameForDirID(p.dirs, 9), "");

    ASSERT_EQ(p.files.size(), 4u);
    EXPECT_EQ(p.files[0].Name, "readme.txt");
    EXPECT_EQ(p.files[0].DirIndex, 0);
    EXPECT_EQ(p.files[1].Name, "l1.bin");
    EXPECT_EQ(p.files[1].DirIndex, 1);
    EXPECT_EQ(p.files[3].Name, "bgm.sdat");
    EXPECT_EQ(p.files[3].DirIndex, 3);
    EXPECT_EQ(p.files[3].Size, 3);
}

TEST(Fnt, DirectoryEntryDoesNotTakeAFileId)
{
    Raw r;
    r.main(0, 0x10, 10, 2);
    r.main(1, 0x40, 0, 0xF000);
    std::size_t at = r.file(0x10, "one");
    at = r.dir(at, "d", 0xF001);
    r.file(at, "two");
    r.fat(10, 0x100, 0x110);
    r.fat(11, 0x200, 0x230);
    r.fat(12, 0x300, 0x399);
    const auto p = r.parse();
    ASSERT_EQ(p.files.size(), 2u);
    EXPECT_EQ(p.files[0].StartOffset, 0x00000100u);
    EXPECT_EQ(p.files[1].StartOffset, 0x00000200u);
    EXPECT_EQ(p.files[1].EndOffset, 0x00000230u);
    EXPECT_EQ(p.files[1].Size, 0x30);
}

TEST(Fnt, NameStopsAtZeroByteButLengthDecidesWhatIsConsumed)
{
    Raw r;
    r.main(0, 0x10, 0, 1);
    std::size_t at = r.file(0x10, std::string("ab\0cd", 5));
    r.file(at, "next");
    const auto p = r.parse();
    ASSERT_EQ(p.files.size(), 2u);
    EXPECT_EQ(p.files[0].Name, "ab");
    EXPECT_EQ(p.files[1].Name, "next");
}

TEST(Fnt, SizesAndOffsetTexts)
{
    Raw r;
    r.main(0, 0x10, 0, 1);
    std::size_t at = r.file(0x10, "neg");
    at = r.file(at, "zero");
    at = r.file(at, "big");
    r.file(at, "wrap");
    r.fat(0, 0x2000, 0x1F00);
    r.fat(1, 0x1F400, 0x1F400);
    r.fat(2, 0x1F400, 0xABCDEF12);
    r.fat(3, 0, 0xFFFFFFFF);
    const auto p = r.parse();
    ASSERT_EQ(p.files.size(), 4u);
    EXPECT_EQ(p.files[0].Size, -0x100);
    EXPECT_EQ(p.files[1].Size, 0);
    EXPECT_EQ(p.files[1].StartOffset, 0x0001F400u);
    EXPECT_EQ(p.files[2].EndOffset, 0xABCDEF12u);
    EXPECT_EQ(p.files[2].Size, static_cast<std::int32_t>(0xABCDEF12u - 0x1F400u));
    EXPECT_EQ(p.files[3].Size, -1); // the difference modulo 2^32
}

TEST(Fnt, DirectoryPathsForBrokenParentLinks)
{
    // A parent that no entry has: Name + "/" without the leading "/".
    Raw r;
    r.main(0, 0x20, 0, 3);
    r.main(1, 0x40, 0, 0xF005);
    r.main(2, 0x48, 0, 0xF001);
    r.dir(0x20, "x", 0xF001);
    r.dir(0x40, "y", 0xF002);
    const auto p = r.parse();
    ASSERT_EQ(p.dirs.size(), 2u);
    EXPECT_EQ(p.dirs[0].ParentID, 5);
    EXPECT_EQ(GetDirNameForDirID(p.dirs, 1), "x/");
    EXPECT_EQ(GetDirNameForDirID(p.dirs, 2), "x/y/");

    // Self-parent and a two-entry cycle end, giving "/" + the names met.
    const std::vector<TDirEntry> self{{"a", 1, 1}};
    EXPECT_EQ(GetDirNameForDirID(self, 1), "/a/");
    const std::vector<TDirEntry> cycle{{"a", 1, 2}, {"b", 2, 1}, {"c", 3, 2}};
    EXPECT_EQ(GetDirNameForDirID(cycle, 1), "/b/a/");
    EXPECT_EQ(GetDirNameForDirID(cycle, 3), "/a/b/c/");

    // Two entries with one DirID: the later one is taken, also for its children.
    const std::vector<TDirEntry> twice{{"old", 1, 0}, {"new", 1, 0}, {"kid", 2, 1}};
    EXPECT_EQ(GetDirNameForDirID(twice, 1), "/new/");
    EXPECT_EQ(GetDirNameForDirID(twice, 2), "/new/kid/");
}

TEST(Fnt, DeepChainIsBoundedInLength)
{
    std::vector<TDirEntry> chain;
    for (int k = 1; k <= 4000; ++k)
        chain.push_back({"d", static_cast<std::uint16_t>(k), static_cast<std::uint16_t>(k - 1)});
    // 8001 bytes in full: cut at the end to 4096 bytes with a visible mark, never by dropping
    // the outer folders.
    const std::string deepest = GetDirNameForDirID(chain, 4000);
    EXPECT_EQ(deepest.size(), 4096u);
    EXPECT_EQ(deepest.substr(0, 6), "/d/d/d");
    EXPECT_EQ(deepest.substr(4093), "\xE2\x80\xA6");
    EXPECT_EQ(GetDirNameForDirID(chain, 3), "/d/d/d/");
    // 2047 levels make 4095 bytes: shown in full; one more level makes 4097: cut.
    EXPECT_EQ(GetDirNameForDirID(chain, 2047).size(), 4095u);
    EXPECT_EQ(GetDirNameForDirID(chain, 2047).back(), '/');
    EXPECT_EQ(GetDirNameForDirID(chain, 2048).size(), 4096u);
    EXPECT_EQ(GetDirNameForDirID(chain, 2048).substr(4093), "\xE2\x80\xA6");
}

TEST(Fnt, RepeatedDirectoryIdsResolveThroughTheLaterEntryAndFileIdsAreAcceptedOnce)
{
    Raw r;
    r.main(0, 0x20, 0, 3);
    r.main(1, 0x40, 5, 0xF000);
    r.main(2, 0x60, 5, 0xF000); // the same first-file ID as directory 1
    std::size_t at = r.dir(0x20, "a", 0xF001);
    at = r.dir(at, "b", 0xF001); // the same DirID again: the later name wins
    r.dir(at, "c", 0xF002);
    r.file(0x40, "f1");
    at = r.file(0x60, "dup");
    r.file(at, "g");
    const auto p = r.parse();
    ASSERT_EQ(p.dirs.size(), 3u);
    EXPECT_EQ(p.dirs[0].Name, "a");
    EXPECT_EQ(p.dirs[1].Name, "b");
    EXPECT_EQ(p.dirs[1].DirID, 1);
    EXPECT_EQ(p.dirs[2].Name, "c");
    EXPECT_EQ(GetDirNameForDirID(p.dirs, 1), "/b/");
    ASSERT_EQ(p.files.size(), 2u);
    EXPECT_EQ(p.files[0].Name, "f1");
    EXPECT_EQ(p.files[1].Name, "g"); // file ID 6: "dup" repeated ID 5 and was skipped
    EXPECT_EQ(p.files[1].DirIndex, 2);
    const auto rows = cartscope::core::ParseArraysToList(p.files, p.dirs);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].path, "/b/f1");
    EXPECT_EQ(rows[1].path, "/c/g");

    // 4095 directory entries all naming directory 1, in one sub-table walked once: bounded.
    Raw many;
    many.b.resize(0x90000, 0);
    many.main(0, 0x10000, 0, 2);
    many.main(1, 0x10, 0, 0xF000);
    at = 0x10000;
    for (int k = 0; k < 5000; ++k)
        at = many.dir(at, "x" + std::to_string(k), 0xF001);
    const auto q = many.parse();
    EXPECT_EQ(q.dirs.size(), 4095u);
    EXPECT_EQ(GetDirNameForDirID(q.dirs, 1), "/x4094/");
}

TEST(Fnt, SubTableRunningToTheEndOfTheImage)
{
    Raw r;
    r.b.resize(0x1010);
    r.main(0, 0x1008, 0, 1);
    std::size_t at = r.file(0x1008, "ab");
    at = r.file(at, "cd");
    r.u8(at, 5); // a name that the image cuts short: the entry is dropped
    r.b.resize(at + 2);
    r.b.back() = 'x';
    const auto p = r.parse();
    ASSERT_EQ(p.files.size(), 2u);
    EXPECT_EQ(p.files[1].Name, "cd");
}

TEST(Fnt, DirectoryEntryCutByTheEndOfTheImageIsDropped)
{
    // Directory A (ID 1) holds good.txt; the root's sub-table, last in the image, names A and
    // then a directory "abcde" whose entry the image cuts: completed with zeros, an ID cut after
    // its first byte 0x01 would be A's and rename A's files to /abcde/.
    struct Case {
        const char* what;
        std::size_t keep; // bytes of the "abcde" entry left (type, name, ID)
    };
    for (const Case c : {Case{"ID cut after its first byte", 7}, Case{"ID missing", 6},
                         Case{"name cut", 3}, Case{"type byte only", 1}}) {
        SCOPED_TRACE(c.what);
        Raw r;
        r.main(0, 0x1010, 0, 2);
        r.main(1, 0x20, 0, 0xF000);
        r.file(0x20, "good.txt");
        r.fat(0, 0x1800, 0x1804);
        const std::size_t cut = r.dir(0x1010, "A", 0xF001);
        r.dir(cut, "abcde", 0xF001);
        r.b.resize(cut + c.keep);
        const auto p = r.parse();
        ASSERT_EQ(p.dirs.size(), 1u);
        EXPECT_EQ(p.dirs[0].Name, "A");
        ASSERT_EQ(p.files.size(), 1u);
        const auto rows = cartscope::core::ParseArraysToList(p.files, p.dirs);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].path, "/A/good.txt");
    }
    // Whole, the same entry is kept (and, carrying A's ID, takes A's files).
    Raw whole;
    whole.main(0, 0x1010, 0, 2);
    whole.main(1, 0x20, 0, 0xF000);
    whole.file(0x20, "good.txt");
    const std::size_t after = whole.dir(whole.dir(0x1010, "A", 0xF001), "abcde", 0xF001);
    whole.b.resize(after);
    EXPECT_EQ(whole.parse().dirs.size(), 2u);
}

TEST(Fnt, SubTablePointingIntoTheMainTableTerminates)
{
    Raw r;
    r.main(0, 6, 0, 2); // the root's sub-table starts at its own count field
    r.main(1, 4, 0, 0xF000);
    const auto p = r.parse();
    ASSERT_EQ(p.files.size(), 1u); // length 2 from the count, the name bytes read as zeros
    EXPECT_EQ(p.files[0].Name, "");
    EXPECT_TRUE(p.dirs.empty());
}

TEST(Fnt, DirectoryCountIsTwelveBits)
{
    Raw r;
    r.main(0, 0x1F00, 0, 0x1000); // reads as 0: nothing
    r.file(0x1F00, "a");
    EXPECT_TRUE(r.parse().files.empty());
    // 0xFFFF reads as 4095; the other entries (zeros, or past the end) name sub-table offset 0,
    // which begins with the root's zero offset byte: walked once, empty.
    r.u16(6, 0xFFFF);
    const auto p = r.parse();
    EXPECT_EQ(p.files.size(), 1u);
}

TEST(Fnt, TablesPastTheEndGiveNothing)
{
    Raw r;
    r.main(0, 0x10, 0, 1);
    r.file(0x10, "a");
    for (const std::uint64_t fnt :
         {std::uint64_t{0x2000}, std::uint64_t{1} << 62, ~std::uint64_t{0} - 3}) {
        const auto p = parse(r.b, fnt, kFat);
        EXPECT_TRUE(p.files.empty());
        EXPECT_TRUE(p.dirs.empty());
    }
    // A FAT past the end gives zero offsets, not a failure.
    const auto p = parse(r.b, 0, ~std::uint64_t{0} - 3);
    ASSERT_EQ(p.files.size(), 1u);
    EXPECT_EQ(p.files[0].StartOffset, 0x00000000u);
}

TEST(Fnt, SharedAndOverlappingSubTablesStayBounded)
{
    // Two directories naming one sub-table with different first-file IDs: the file IDs alone
    // would let the second list the same names again (as IDs 10 and 11); it lists nothing.
    Raw two;
    two.main(0, 0x20, 0, 2);
    two.main(1, 0x20, 10, 0xF000);
    two.file(two.file(0x20, "a"), "b");
    const auto t = two.parse();
    ASSERT_EQ(t.files.size(), 2u);
    EXPECT_EQ(t.files[0].DirIndex, 0);
    EXPECT_EQ(t.files[1].DirIndex, 0);

    // 4095 directories all naming one sub-table of 100 files, each with its own first-file ID:
    // listed once, by the root.
    Raw shared;
    shared.b.resize(0x10000, 0);
    for (std::size_t k = 0; k < 4095; ++k)
        shared.main(k, 0x8000, static_cast<std::uint16_t>(16 * k), k == 0 ? 0xFFF : 0xF000);
    std::size_t at = 0x8000;
    for (int k = 0; k < 100; ++k)
        at = shared.file(at, "f");
    const auto p = shared.parse();
    ASSERT_EQ(p.files.size(), 100u);
    EXPECT_EQ(p.files.back().DirIndex, 0);

    // 4095 sub-tables starting one byte apart in a long run of one-byte names, each with a
    // different first-file ID: the walk stops at the documented 65,536 files.
    Raw run;
    run.b.assign(0x40000, 0x01);
    for (std::size_t k = 0; k < 4095; ++k)
        run.main(k, static_cast<std::uint32_t>(0x8000 + k), static_cast<std::uint16_t>(k),
                 k == 0 ? 0xFFF : 0xF000);
    const auto q = parse(run.b, 0, 0);
    EXPECT_EQ(q.files.size(), 65536u);
}

} // namespace
