#pragma once

#include <string>

#include "core/banner/banner_info.h"
#include "core/image/dsi.h"

// The JSON of the banner as its version describes it and of the DSi header, for `info --json`.
namespace cartscope::cli {

// {version, size, bytesInFile, truncated, status, crcs: [{range, stored, computed, ok}],
//  titles (eight), titlesUtf16 (eight texts of four hex digits per code unit), animated,
//  frames}
std::string bannerJson(const core::BannerInfo& banner, int indent);
// The keys of the set 0x1BF flags, as an array.
std::string twlFlagsJson(const core::DsiInfo& dsi);
// null without the DSi bit in the unit code; else every DSi field by name.
std::string dsiJson(const core::DsiInfo& dsi, int indent);

} // namespace cartscope::cli
