#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/fs/filelist.h"

namespace {

using cartscope::core::compareNumber;
using cartscope::core::FileRow;
using cartscope::core::forEachRow;
using cartscope::core::ParseArraysToList;
using cartscope::core::sortRows;
using cartscope::core::SortState;
using cartscope::core::TDirEntry;
using cartscope::core::TFileEntry;

TFileEntry file(const std::string& name, std::uint32_t start, int size, int dir)
{
    return {name, start, 0, size, dir};
}

std::vector<std::string> paths(const std::vector<FileRow>& rows)
{
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(r.path);
    return out;
}

std::vector<std::string> offsets(const std::vector<FileRow>& rows)
{
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(r.offsetText());
    return out;
}

std::vector<std::string> sizes(const std::vector<FileRow>& rows)
{
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(r.sizeText());
    return out;
}

TEST(FileList, RowsFromTheArrays)
{
    const std::vector<TDirEntry> dirs{{"data", 1, 0}, {"sound", 2, 1}};
    const std::vector<TFileEntry> files{
        file("icon.bin", 0x0001F400, 512, 0),
        file("bgm.sdat", 0x00020000, -4, 2),
        file("lost.bin", 0x00030000, 1, 7), // no directory 7: not listed
        file("x.bin", 0x00040000, 0, 1),
        file("far.bin", 0x00050000, 1, 4096), // an index no 12-bit DirID can equal
        file("neg.bin", 0x00060000, 1, -1),
    };
    const auto rows = ParseArraysToList(files, dirs);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].path, "/icon.bin");
    EXPECT_EQ(rows[0].offsetText(), "0001F400");
    EXPECT_EQ(rows[0].sizeText(), "512");
    EXPECT_EQ(rows[1].path, "/data/sound/bgm.sdat");
    EXPECT_EQ(rows[1].sizeText(), "-4");
    EXPECT_EQ(rows[2].path, "/data/x.bin");
    EXPECT_EQ(rows[2].offset, 0x00040000u);
    EXPECT_TRUE(ParseArraysToList({}, dirs).empty());
}

TEST(FileList, RowsHandedOutOneAtATimeCarryNothingOfTheRowBefore)
{
    // A cut path, then a short one in a short folder, then a long name in the root: each row
    // handed out is whole on its own, and copies of them are the rows the list keeps.
    const std::vector<TDirEntry> dirs{{std::string(4090, 'a'), 1, 0}, {"s", 2, 0}};
    const std::vector<TFileEntry> files{file("cut.bin", 0x10, 3, 1), file("k", 0x20, -1, 2),
                                        file(std::string(40, 'n'), 0x30, 7, 0)};
    std::vector<FileRow> handed;
    forEachRow(files, dirs, [&handed](const FileRow& r) { handed.push_back(r); });
    ASSERT_EQ(handed.size(), 3u);
    EXPECT_TRUE(handed[0].pathTooLong);
    EXPECT_FALSE(handed[1].pathTooLong);
    EXPECT_EQ(handed[1].path, "/s/k");
    EXPECT_EQ(handed[1].offset, 0x20u);
    EXPECT_EQ(handed[1].size, -1);
    EXPECT_EQ(handed[2].path, "/" + std::string(40, 'n'));
    const auto kept = ParseArraysToList(files, dirs);
    EXPECT_EQ(paths(kept), paths(handed));
    EXPECT_EQ(sizes(kept), sizes(handed));
}

TEST(FileList, LastPathTableRowWithTheDirIdIsTaken)
{
    // A directory entry with DirID 0 comes after the root's row, so root files resolve to it.
    const std::vector<TDirEntry> dirs{{"a", 1, 0}, {"b", 1, 0}, {"z", 0, 0}};
    const auto rows =
        ParseArraysToList({file("f", 0x00000000, 1, 1), file("g", 0x00000000, 1, 0)}, dirs);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].path, "/b/f");
    EXPECT_EQ(rows[1].path, "/z/g");
}

TEST(FileList, SortStateMachine)
{
    SortState s;
    s.click(2);
    EXPECT_EQ(s.SortColumn, 2);
    EXPECT_FALSE(s.SortAscending);
    s.click(2);
    EXPECT_TRUE(s.SortAscending);
    s.click(2);
    EXPECT_FALSE(s.SortAscending);

    SortState t;
    t.click(0);
    EXPECT_TRUE(t.SortAscending); // first click on the starting column flips
    t.click(1);
    EXPECT_EQ(t.SortColumn, 1);
    EXPECT_TRUE(t.SortAscending); // another column keeps the direction
}

TEST(FileList, SortingBySizeOffsetAndPath)
{
    std::vector<FileRow> rows{{"/b", 0x00000200, 10},
                              {"/A", 0x0000A000, 9},
                              {"/c", 0x00000300, -5},
                              {"/a", 0x00000050, 0}};
    SortState s;
    s.click(2); // descending
    sortRows(rows, s);
    EXPECT_EQ(sizes(rows), (std::vector<std::string>{"10", "9", "0", "-5"}));
    s.click(2); // ascending
    sortRows(rows, s);
    EXPECT_EQ(sizes(rows), (std::vector<std::string>{"-5", "0", "9", "10"}));

    SortState t;
    t.click(0); // ascending by name; "/A" and "/a" are equal and keep their order
    sortRows(rows, t);
    EXPECT_EQ(paths(rows), (std::vector<std::string>{"/a", "/A", "/b", "/c"}));
    t.click(1); // ascending by offset: A000h after 0300h, as the hex texts collate
    sortRows(rows, t);
    EXPECT_EQ(offsets(rows),
              (std::vector<std::string>{"00000050", "00000200", "00000300", "0000A000"}));
    t.click(1); // descending
    sortRows(rows, t);
    EXPECT_EQ(paths(rows), (std::vector<std::string>{"/A", "/c", "/b", "/a"}));

    // Equal keys keep their order in both directions (the sort is stable).
    std::vector<FileRow> same{{"/x", 5, 1}, {"/y", 5, 1}, {"/z", 5, 1}};
    SortState u;
    u.click(2);
    sortRows(same, u);
    EXPECT_EQ(paths(same), (std::vector<std::string>{"/x", "/y", "/z"}));
}

TEST(FileList, Comparisons)
{
    const FileRow upper{"/DATA/X.BIN", 0x0000000A, 12};
    const FileRow lower{"/data/x.bin", 0x0000000B, -3};
    const FileRow later{"/z", 0xFFFFFFFF, 12};
    // Paths: letter case folded (equal rows keep their order), in both directions.
    for (const bool ascending : {true, false}) {
        std::vector<FileRow> rows{later, lower, upper};
        SortState byPath;
        byPath.SortColumn = cartscope::core::kPathColumn;
        byPath.SortAscending = ascending;
        sortRows(rows, byPath);
        EXPECT_EQ(paths(rows),
                  ascending ? (std::vector<std::string>{"/data/x.bin", "/DATA/X.BIN", "/z"})
                            : (std::vector<std::string>{"/z", "/data/x.bin", "/DATA/X.BIN"}));
    }
    EXPECT_EQ(compareNumber(upper, lower, cartscope::core::kSizeColumn, true), 1);
    EXPECT_EQ(compareNumber(upper, lower, cartscope::core::kSizeColumn, false), -1);
    EXPECT_EQ(compareNumber(upper, later, cartscope::core::kSizeColumn, true), 0);
    // Offsets are unsigned 32-bit: FFFFFFFFh is the largest, never negative.
    EXPECT_EQ(compareNumber(upper, lower, cartscope::core::kOffsetColumn, true), -1);
    EXPECT_EQ(compareNumber(later, upper, cartscope::core::kOffsetColumn, true), 1);
}

} // namespace
