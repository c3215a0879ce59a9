#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/collection_scan.h"
#include "cli/common.h"
#include "core/base/fd.h"
#include "core/verify/dat.h"

// What a collection command (`verify`, `organise`, `report`) takes from its command line
// besides the dumps (archive/collection_scan.h): the DATs to match them against and how many
// are read at once.
namespace cartscope::cli {

using Item = archive::DumpItem;

// --jobs, or the number of cores.
unsigned jobCount(const Invocation& inv);
// The --dat files (one that cannot be read ends the run), else the DAT folder (a file that
// cannot be read is told on `ctx.err` and skipped).
core::DatSet loadDats(const Invocation& inv, Context& ctx);

} // namespace cartscope::cli
