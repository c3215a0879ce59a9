#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

// The file-name table's bytes from its folders: the one encoder behind a fresh tree's table and
// the table a build writes when the tree's names changed.
namespace cartscope::core::rebuild {

// The first ID of the table's folders (the root is F000h; the main-table index is the low 12
// bits).
inline constexpr std::uint16_t kRootFolderId = 0xF000;

// One folder: its main-table index is its place in the list (0 the root).
struct NameTableFolder {
    std::uint16_t firstFileId = 0;
    std::uint16_t parent = 0; // main-table index; the root's entry holds the folder count instead
    // Names as the table holds them (1 to 127 bytes); the i-th file has ID firstFileId + i.
    std::vector<std::string> files;
    // Subfolders: name and main-table index.
    std::vector<std::pair<std::string, std::uint16_t>> folders;
};

// The main table, then each folder's sub-table (files, then subfolders, then the end byte) in
// the folders' order. Names and counts are the caller's to keep within the table's limits.
std::vector<std::uint8_t> encodeNameTable(std::span<const NameTableFolder> folders);

} // namespace cartscope::core::rebuild
