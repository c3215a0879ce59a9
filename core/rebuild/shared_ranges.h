#pragma once

#include <span>
#include <vector>

#include "core/rebuild/signed_regions.h"

namespace cartscope::core::rebuild {

// Which ranges share a byte with another range; an empty range never does. One sort by offset
// and one sweep, so a table of 65,536 files costs no more than the sort. The layout writer asks
// it which files need a digest, the edit plan which edited files must move.
std::vector<bool> sharedRanges(std::span<const ByteRange> ranges);

} // namespace cartscope::core::rebuild
