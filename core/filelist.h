#pragma once

#include <string>
#include <vector>

#include "core/fnt.h"

namespace cartscope::core {

// One row of the file list: column 0 full path ("/data/x.bin"), column 1 offset (8 upper-case
// hex digits), column 2 size (signed decimal).
struct FileRow {
    std::string path;
    std::string offset;
    std::string size;
    // The full path is longer than kMaxPathBytes: `path` shows it cut, ending in "…", and the
    // row is never extracted under that cut name ("path too long").
    bool pathTooLong = false;
    // Rows added after the named tree (the system files) are marked; rows that are not the
    // tree's (system files, NARC members) carry the reason they cannot be extracted when
    // something keeps them from it (a range past the end).
    bool system = false;
    std::string problem = {};
    const std::string& column(int c) const { return c == 0 ? path : c == 1 ? offset : size; }
};

std::vector<FileRow> ParseArraysToList(const std::vector<TFileEntry>& files,
                                       const std::vector<TDirEntry>& dirs);

// The sort state lives for the whole run: a click on the same column flips the direction, a
// click on another column keeps it.
struct SortState {
    int SortColumn = 0;
    bool SortAscending = false;
    void click(int column);
};

// The two comparisons (negative / zero / positive), sign reversed when not ascending.
int compareText(const FileRow& a, const FileRow& b, int column, bool ascending);
int compareNumber(const FileRow& a, const FileRow& b, int column, bool ascending);

// Sorts rows by the state's column and direction (stable).
void sortRows(std::vector<FileRow>& rows, const SortState& state);

} // namespace cartscope::core
