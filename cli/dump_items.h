#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
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

// Runs `work(i)` for i below `count` on `jobs` threads, in no particular order; once `stop()`
// says true no more are handed out.
template <typename Work, typename Stop>
void runJobs(std::size_t count, unsigned jobs, const Stop& stop, const Work& work)
{
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        // Bounded by the count.
        for (std::size_t i = next++; i < count && !stop(); i = next++)
            work(i);
    };
    std::vector<std::thread> threads;
    const std::size_t n = std::min<std::size_t>(jobs, std::max<std::size_t>(count, 1));
    for (std::size_t t = 1; t < n; ++t)
        threads.emplace_back(worker);
    worker();
    for (auto& t : threads)
        t.join();
}

// --jobs, or the number of cores.
unsigned jobCount(const Invocation& inv);
// The --dat files (one that cannot be read ends the run), else the DAT folder (a file that
// cannot be read is told on `ctx.err` and skipped).
core::DatSet loadDats(const Invocation& inv, Context& ctx);

} // namespace cartscope::cli
