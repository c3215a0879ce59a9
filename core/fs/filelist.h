#pragma once

#include <charconv>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base/hex.h"
#include "core/fs/fnt.h"

namespace cartscope::core {

// The list's three columns, in the order the window shows them.
enum ListColumn : int { kPathColumn = 0, kOffsetColumn = 1, kSizeColumn = 2 };

// One row of the file list: the full path ("/data/x.bin"), where the file starts in the image
// and how many bytes it claims (negative when the allocation table says end < start).
struct FileRow {
    std::string path;
    std::uint32_t offset = 0;
    std::int64_t size = 0;
    // The full path is longer than kMaxPathBytes: `path` shows it cut, ending in "…", and the
    // row is never extracted under that cut name ("path too long").
    bool pathTooLong = false;
    // Rows added after the named tree (the system files) are marked; rows that are not the
    // tree's (system files, NARC members) carry the reason they cannot be extracted when
    // something keeps them from it (a range past the end).
    bool system = false;
    std::string problem = {};
    // Tree rows: the file's ID (its allocation entry's index).
    std::uint32_t fileId = 0;

    // The texts the list shows: eight upper-case hex digits, signed decimal. The append forms
    // serve a writer of many rows that keeps one buffer.
    void appendOffsetText(std::string& out) const { appendHex(out, offset, 8); }
    void appendSizeText(std::string& out) const
    {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, size).ptr);
    }
    std::string offsetText() const
    {
        std::string s;
        appendOffsetText(s);
        return s;
    }
    std::string sizeText() const
    {
        std::string s;
        appendSizeText(s);
        return s;
    }
};

std::vector<FileRow> ParseArraysToList(const std::vector<TFileEntry>& files,
                                       const std::vector<TDirEntry>& dirs);

// The same rows in the same order, each handed to `row` as it is made instead of being kept:
// a caller that only writes them out holds one at a time. The row handed over is valid only
// during the call (one row's storage serves them all); a caller that keeps it copies it.
void forEachRow(const std::vector<TFileEntry>& files, const std::vector<TDirEntry>& dirs,
                const std::function<void(const FileRow&)>& row);

// How many rows forEachRow makes, without making them.
std::size_t countRows(const std::vector<TFileEntry>& files, const std::vector<TDirEntry>& dirs);

// The sort state lives for the whole run: a click on the same column flips the direction, a
// click on another column keeps it.
struct SortState {
    int SortColumn = 0;
    bool SortAscending = false;
    void click(int column);
};

// Offsets and sizes compared as numbers (negative / zero / positive), sign reversed when not
// ascending.
int compareNumber(const FileRow& a, const FileRow& b, ListColumn column, bool ascending);

// Sorts rows by the state's column and direction (stable).
void sortRows(std::vector<FileRow>& rows, const SortState& state);

} // namespace cartscope::core
