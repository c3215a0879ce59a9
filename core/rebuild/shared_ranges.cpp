#include "core/rebuild/shared_ranges.h"

#include <algorithm>

namespace cartscope::core::rebuild {

std::vector<bool> sharedRanges(std::span<const ByteRange> ranges)
{
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < ranges.size(); ++i)
        if (ranges[i].size)
            order.push_back(i);
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return ranges[a].offset < ranges[b].offset; });
    std::vector<bool> shared(ranges.size(), false);
    // A range that starts before the furthest end so far overlaps the range that reached it
    // (every range overlapping an earlier one is found so, and that one with it).
    std::uint64_t reach = 0;
    std::size_t reacher = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const ByteRange& r = ranges[order[k]];
        if (k && r.offset < reach) {
            shared[order[k]] = true;
            shared[reacher] = true;
        }
        if (r.offset + r.size > reach) {
            reach = r.offset + r.size;
            reacher = order[k];
        }
    }
    return shared;
}

} // namespace cartscope::core::rebuild
