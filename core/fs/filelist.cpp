// File list rows and their ordering.
//
// Path comparison: letter case is folded for ASCII only (names are 8-bit text in no declared
// code page, so no other byte has a known case), then the folded texts are compared with
// std::strcoll order under the process's LC_COLLATE. The window's toolkit sets the locale from the
// environment at start, so there this is the user's collation; the command line never sets it
// (and never sorts), and in the "C" locale it is byte order.
// Sorting uses std::strxfrm keys of the folded texts, which order exactly as strcoll does, so a
// list of 65536 rows is not folded and collated again for every comparison.
//
// Offsets and sizes compare as the numbers they are. (The offset column shows fixed-width hex
// text, whose collation in every locale is this same numeric order: digits before letters.)
#include "core/fs/filelist.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>

namespace cartscope::core {

namespace {

std::string foldCase(const std::string& s)
{
    std::string out = s;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string collationKey(const std::string& s)
{
    const std::string folded = foldCase(s);
    std::string key(folded.size() * 4 + 16, '\0');
    std::size_t n = std::strxfrm(key.data(), folded.c_str(), key.size());
    if (n >= key.size()) {
        key.resize(n + 1);
        n = std::strxfrm(key.data(), folded.c_str(), key.size());
    }
    key.resize(std::min(n, key.size()));
    return key;
}

// Whether a file of that folder is listed: its folder is the root or a directory entry's.
bool listedIn(const TFileEntry& f, const std::vector<bool>& listedFolders)
{
    const std::optional<std::uint16_t> folder = folderIdOf(f);
    return folder && listedFolders[*folder];
}

std::vector<bool> listedFolders(const std::vector<TDirEntry>& dirs)
{
    std::vector<bool> listed(kDirIdCount, false);
    listed[0] = true;
    for (const TDirEntry& d : dirs)
        if (d.DirID < kDirIdCount)
            listed[d.DirID] = true;
    return listed;
}

} // namespace

std::size_t countRows(const std::vector<TFileEntry>& files, const std::vector<TDirEntry>& dirs)
{
    const std::vector<bool> listed = listedFolders(dirs);
    std::size_t n = 0;
    for (const TFileEntry& f : files)
        n += listedIn(f, listed) ? 1 : 0;
    return n;
}

void forEachRow(const std::vector<TFileEntry>& files, const std::vector<TDirEntry>& dirs,
                const std::function<void(const FileRow&)>& row)
{
    // The path table, by DirID: the root "/" as 0, then every directory in array order; a later
    // row with the same DirID replaces the earlier one (the last match is the one taken).
    std::vector<std::optional<DirPaths::Resolved>> pathById(kDirIdCount);
    pathById[0] = DirPaths::Resolved{"/", false};
    const DirPaths paths(dirs);
    for (const TDirEntry& d : dirs)
        if (d.DirID < kDirIdCount)
            pathById[d.DirID] = paths.resolve(d.DirID);
    const std::vector<bool> listed = listedFolders(dirs);

    FileRow r; // one row's storage, refilled for each file
    for (const TFileEntry& f : files) {
        if (!listedIn(f, listed))
            continue; // a directory without a path-table row: the file is not listed
        const auto& dir = pathById[*folderIdOf(f)];
        r.path.assign(dir->path);
        r.offset = f.StartOffset;
        r.size = f.Size;
        r.fileId = f.FileId;
        // A directory path already cut ends in the mark; the name is not appended after it.
        r.pathTooLong = dir->cut;
        if (!r.pathTooLong) {
            r.path += f.Name;
            r.pathTooLong = capPath(r.path);
        }
        row(r);
    }
}

std::vector<FileRow> ParseArraysToList(const std::vector<TFileEntry>& files,
                                       const std::vector<TDirEntry>& dirs)
{
    std::vector<FileRow> rows;
    rows.reserve(files.size());
    forEachRow(files, dirs, [&rows](const FileRow& r) { rows.push_back(r); });
    return rows;
}

void SortState::click(int column)
{
    if (column == SortColumn)
        SortAscending = !SortAscending;
    else
        SortColumn = column;
}

namespace {

std::int64_t numberIn(const FileRow& row, ListColumn column)
{
    return column == kOffsetColumn ? std::int64_t{row.offset} : row.size;
}

} // namespace

int compareNumber(const FileRow& a, const FileRow& b, ListColumn column, bool ascending)
{
    const std::int64_t x = numberIn(a, column);
    const std::int64_t y = numberIn(b, column);
    const int r = x > y ? 1 : x < y ? -1 : 0;
    return ascending ? r : -r;
}

void sortRows(std::vector<FileRow>& rows, const SortState& state)
{
    const bool ascending = state.SortAscending;
    // Stable: equal rows keep their order. Path keys are built once per row.
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    switch (state.SortColumn) {
    case kPathColumn: {
        std::vector<std::string> keys;
        keys.reserve(rows.size());
        for (const FileRow& r : rows)
            keys.push_back(collationKey(r.path));
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            const int r = keys[x].compare(keys[y]);
            return ascending ? r < 0 : r > 0;
        });
        break;
    }
    case kOffsetColumn:
    case kSizeColumn: {
        const auto column = static_cast<ListColumn>(state.SortColumn);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return compareNumber(rows[x], rows[y], column, ascending) < 0;
        });
        break;
    }
    default:
        return;
    }
    std::vector<FileRow> sorted;
    sorted.reserve(rows.size());
    for (std::size_t k : order)
        sorted.push_back(std::move(rows[k]));
    rows = std::move(sorted);
}

} // namespace cartscope::core
