#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/filelist.h"

namespace {

using cartscope::core::compareNumber;
using cartscope::core::compareText;
using cartscope::core::FileRow;
using cartscope::core::ParseArraysToList;
using cartscope::core::sortRows;
using cartscope::core::SortState;
using cartscope::core::TDirEntry;
using cartscope::core::TFileEntry;

TFileEntry file(const std::string& name, const std::string& start, int size, int dir)
{
    return {name, start, "00000000", size, dir};
}

std::vector<std::string> column(const std::vector<FileRow>& rows, int c)
{
    std::vector<std::string> out;
    for (const auto& r : rows)
        out.push_back(r.column(c));
    return out;
}

TEST(FileList, RowsFromTheArrays)
{
    const std::vector<TDirEntry> dirs{{"data", "1", "0"}, {"sound", "2", "1"}};
    const std::vector<TFileEntry> files{
        file("icon.bin", "0001F400", 512, 0),
        file("bgm.sdat", "00020000", -4, 2),
        file("lost.bin", "00030000", 1, 7), // no directory 7: not listed
        file("x.bin", "00040000", 0, 1),
    };
    const auto rows = ParseArraysToList(files, dirs);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].path, "/icon.bin");
    EXPECT_EQ(rows[0].offset, "0001F400");
    EXPECT_EQ(rows[0].size, "512");
    EXPECT_EQ(rows[1].path, "/data/sound/bgm.sdat");
    EXPECT_EQ(rows[1].size, "-4");
    EXPECT_EQ(rows[2].path, "/data/x.bin");
    EXPECT_TRUE(ParseArraysToList({}, dirs).empty());
}

TEST(FileList, LastPathTableRowWithTheDirIdIsTaken)
{
    // A directory entry with DirID 0 comes after the root's row, so root files resolve to it.
    const std::vector<TDirEntry> dirs{{"a", "1", "0"}, {"b", "1", "0"}, {"z", "0", "0"}};
    const auto rows =
        ParseArraysToList({file("f", "00000000", 1, 1), file("g", "00000000", 1, 0)}, dirs);
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

TEST(FileList, SortingBySizeAndByText)
{
    std::vector<FileRow> rows{{"/b", "00000200", "10"},
                              {"/A", "00000100", "9"},
                              {"/c", "00000300", "-5"},
                              {"/a", "00000050", "0"}};
    SortState s;
    s.click(2); // descending
    sortRows(rows, s);
    EXPECT_EQ(column(rows, 2), (std::vector<std::string>{"10", "9", "0", "-5"}));
    s.click(2); // ascending
    sortRows(rows, s);
    EXPECT_EQ(column(rows, 2), (std::vector<std::string>{"-5", "0", "9", "10"}));

    SortState t;
    t.click(0); // ascending by name; "/A" and "/a" are equal and keep their order
    sortRows(rows, t);
    EXPECT_EQ(column(rows, 0), (std::vector<std::string>{"/a", "/A", "/b", "/c"}));
    t.click(1); // ascending by offset text
    sortRows(rows, t);
    EXPECT_EQ(column(rows, 1),
              (std::vector<std::string>{"00000050", "00000100", "00000200", "00000300"}));
}

TEST(FileList, Comparisons)
{
    const FileRow upper{"/DATA/X.BIN", "0000000A", "12"};
    const FileRow lower{"/data/x.bin", "0000000a", "-3"};
    const FileRow bad{"/z", "zz", "12x"};
    EXPECT_EQ(compareText(upper, lower, 0, true), 0);
    EXPECT_EQ(compareText(upper, lower, 1, false), 0);
    EXPECT_LT(compareText(lower, bad, 0, true), 0);
    EXPECT_GT(compareText(lower, bad, 0, false), 0);
    EXPECT_EQ(compareNumber(upper, lower, 2, true), 1);
    EXPECT_EQ(compareNumber(upper, lower, 2, false), -1);
    EXPECT_EQ(compareNumber(upper, bad, 2, true), 0);

    // A size that does not parse stays in its place; the others are sorted around it.
    std::vector<FileRow> rows{{"/a", "", "3"}, {"/b", "", "x"}, {"/c", "", "1"}};
    SortState s;
    s.click(2);
    s.click(2); // ascending
    sortRows(rows, s);
    EXPECT_EQ(column(rows, 0), (std::vector<std::string>{"/c", "/b", "/a"}));
}

} // namespace
