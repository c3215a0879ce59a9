#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/common.h"
#include "core/base/fd.h"
#include "core/verify/dat.h"

// The dumps a collection command works on (`verify`, `organise`): the paths given, folders
// walked, the DATs to match them against and how many are read at once.
namespace cartscope::cli {

struct Item {
    std::string path;
    bool zip = false;
    std::uint64_t size = 0;
    std::string error; // set when the path could not even be looked at
    // Found by the walk below a folder the user gave: where the part of `path` below that folder
    // starts. That part is opened one component at a time, never through a link.
    std::size_t belowAt = std::string::npos;
};

// Every image and .zip the paths name, folders walked recursively (names sorted, links inside
// them never followed); a path that cannot be looked at is an item with its error.
std::vector<Item> collect(const std::vector<std::string>& paths);
// Opens an item for reading: a path the user gave as it is; below a folder the user gave, never
// through a link that replaced a file or folder after the walk.
core::UniqueFd openItem(const Item& item);
// --jobs, or the number of cores.
unsigned jobCount(const Invocation& inv);
// The --dat files (one that cannot be read ends the run), else the DAT folder (a file that
// cannot be read is told on `ctx.err` and skipped).
core::DatSet loadDats(const Invocation& inv, Context& ctx);

} // namespace cartscope::cli
