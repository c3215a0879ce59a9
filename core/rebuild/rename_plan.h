#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/rebuild/build.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/layout.h"

// A tree whose names differ from its layout: which files were renamed, added and removed, the
// file IDs they take, and the name table that names them. Games load files by ID, so IDs move
// only when the user asks (--renumber); see rename_plan.cpp for the rules.
namespace cartscope::core::rebuild {

// A file of the tree at a path the layout does not list.
struct TreeFile {
    std::string path; // below the tree
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
};

struct TreeNames {
    std::vector<TreeFile> unlisted;
    std::vector<std::size_t> gone; // the layout's file regions whose path the tree lacks
    // Every data folder of the tree ("a", "a/b"), the system folder apart.
    std::vector<std::string> folders;
};

struct RenamePlan {
    std::vector<std::uint32_t> ids;   // each layout region's allocation index after the build
    std::vector<bool> removed;        // each layout region: its file left the tree
    std::vector<std::string> paths;   // each layout region's path in the tree now
    std::vector<std::size_t> renamed; // layout regions found under another path
    std::vector<TreeFile> added;      // new files, in the order of `addedIds`
    std::vector<std::uint32_t> addedIds;
    std::vector<std::uint8_t> nameTable; // the table naming the tree as it is
    std::uint32_t allocationEntries = 0; // the allocation table's entries after the build
    std::uint32_t keptEntries = 0; // entries below this keep their bytes when no file has them
    std::vector<IdChange> changes; // IDs that moved (--renumber), by old ID
};

// The SHA-1 of a tree file, for a rename check where the layout recorded one.
using TreeHasher = std::function<Sha1(const std::string& path)>;

// Plans the names of `tree` (shown in messages). `fnt` and `fat` are the layout's table bytes.
// Throws the user's message for a change that would move other files' IDs when `renumber` is
// not set, naming the folder, and for names or counts the tables cannot hold.
RenamePlan planRenames(const Layout& layout, std::span<const std::uint8_t> fnt,
                       std::span<const std::uint8_t> fat, const TreeNames& names, bool renumber,
                       const TreeHasher& hash, const std::string& tree);

// The allocation table after the build: `regions` are the layout's followed by the added files
// (their IDs already the plan's), placed by `placed`. An entry keeps its old bytes while its
// file kept its range, as the unchanged image has them.
std::vector<std::uint8_t> allocationAfter(std::span<const std::uint8_t> oldFat,
                                          const RenamePlan& names, std::span<const Region> layout,
                                          std::span<const EditRegion> regions,
                                          const EditPlan& placed);

} // namespace cartscope::core::rebuild
