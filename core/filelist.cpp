// File list rows and their ordering.
//
// Text comparison: letter case is folded for ASCII only (names are 8-bit text in no declared
// code page, so no other byte has a known case), then the folded texts are compared with
// std::strcoll under the process's LC_COLLATE. The window's toolkit sets the locale from the
// environment at start, so there this is the user's collation; the command line never sets it
// (and never sorts), and in the "C" locale it is byte order.
// Sorting uses std::strxfrm keys of the folded texts, which order exactly as strcoll does, so a
// list of 65536 rows is not folded and collated again for every comparison.
//
// Number comparison: the whole text must be a signed decimal integer (std::from_chars, 64-bit);
// otherwise the comparison yields 0. "Equal to everything" is no ordering a sort can use, so
// sortRows leaves rows whose text does not parse where they are and sorts the others among the
// remaining places. Rows built here always parse.
#include "core/filelist.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <unordered_map>

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

std::optional<std::int64_t> parseDecimal(const std::string& s)
{
    std::int64_t v = 0;
    const char* end = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(s.data(), end, v);
    if (ec != std::errc() || ptr != end || s.empty())
        return std::nullopt;
    return v;
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

int sign(int v)
{
    return (v > 0) - (v < 0);
}

} // namespace

std::vector<FileRow> ParseArraysToList(const std::vector<TFileEntry>& files,
                                       const std::vector<TDirEntry>& dirs)
{
    // The path table, by DirID: the root "/" as "0", then every directory in array order; a
    // later row with the same DirID replaces the earlier one (the last match is the one taken).
    std::unordered_map<std::string, DirPaths::Resolved> pathById;
    pathById.emplace("0", DirPaths::Resolved{"/", false});
    const DirPaths paths(dirs);
    for (const TDirEntry& d : dirs)
        pathById[d.DirID] = paths.resolve(d.DirID);

    std::vector<FileRow> rows;
    rows.reserve(files.size());
    for (const TFileEntry& f : files) {
        const auto it = pathById.find(std::to_string(f.DirIndex));
        if (it == pathById.end())
            continue; // a directory without a path-table row: the file is not listed
        FileRow row{it->second.path, f.StartOffset, std::to_string(f.Size)};
        // A directory path already cut ends in the mark; the name is not appended after it.
        row.pathTooLong = it->second.cut;
        if (!row.pathTooLong) {
            row.path += f.Name;
            row.pathTooLong = capPath(row.path);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void SortState::click(int column)
{
    if (column == SortColumn)
        SortAscending = !SortAscending;
    else
        SortColumn = column;
}

int compareText(const FileRow& a, const FileRow& b, int column, bool ascending)
{
    const int r =
        sign(std::strcoll(foldCase(a.column(column)).c_str(), foldCase(b.column(column)).c_str()));
    return ascending ? r : -r;
}

int compareNumber(const FileRow& a, const FileRow& b, int column, bool ascending)
{
    const auto x = parseDecimal(a.column(column));
    const auto y = parseDecimal(b.column(column));
    if (!x || !y)
        return 0;
    const int r = *x > *y ? 1 : *x < *y ? -1 : 0;
    return ascending ? r : -r;
}

void sortRows(std::vector<FileRow>& rows, const SortState& state)
{
    const int column = state.SortColumn;
    if (column < 0 || column > 2)
        return;
    const bool ascending = state.SortAscending;

    if (column != 2) {
        std::vector<std::string> keys;
        keys.reserve(rows.size());
        for (const FileRow& r : rows)
            keys.push_back(collationKey(r.column(column)));
        std::vector<std::size_t> order(rows.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            const int r = keys[x].compare(keys[y]);
            return ascending ? r < 0 : r > 0;
        });
        std::vector<FileRow> sorted;
        sorted.reserve(rows.size());
        for (std::size_t k : order)
            sorted.push_back(std::move(rows[k]));
        rows = std::move(sorted);
        return;
    }

    // Rows whose size parses are sorted into the places such rows held; the others stay put.
    std::vector<std::size_t> slots;
    std::vector<std::pair<std::int64_t, std::size_t>> values;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        if (const auto v = parseDecimal(rows[k].column(column))) {
            slots.push_back(k);
            values.emplace_back(*v, k);
        }
    }
    std::stable_sort(values.begin(), values.end(), [&](const auto& x, const auto& y) {
        return ascending ? x.first < y.first : x.first > y.first;
    });
    std::vector<FileRow> moved;
    moved.reserve(values.size());
    for (const auto& v : values)
        moved.push_back(std::move(rows[v.second]));
    for (std::size_t k = 0; k < slots.size(); ++k)
        rows[slots[k]] = std::move(moved[k]);
}

} // namespace cartscope::core
