#pragma once

#include <string>
#include <vector>

#include "core/banner/banner_info.h"
#include "core/banner_fields.h"
#include "core/dsi_fields.h"
#include "core/image/dsi.h"

// The rows of the window's "DSi" page: a renderer of the banner's and the DSi header's field
// lists.
namespace cartscope::core {

// One row of the "DSi" page. A verdict row is coloured: BAD in red, OK in green.
struct InfoRow {
    enum class Verdict { None, Ok, Bad };
    std::string group;
    std::string field;
    std::string value;
    Verdict verdict = Verdict::None;
};

// The page's rows: the banner (version, size, status, every CRC), the TWL flags when non-zero,
// then the DSi fields (or a line saying the image is DS-only) and the signature presence.
std::vector<InfoRow> dsiPageRows(const BannerInfo& banner, const DsiInfo& dsi);

} // namespace cartscope::core
