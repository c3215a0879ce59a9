#pragma once

#include "core/banner/banner.h"
#include "core/banner/banner_info.h"
#include "core/banner/raw_banner.h"

namespace cartscope::core {

// The banner, decoded once from its raw block: the six-title block of the original layout with
// its decoded icon, and what the version word adds (size, CRC-16 checks, eight titles, the
// animated icon, whose frames decodeAnimation makes).
struct BannerRecord {
    TNDSBanner original;          // 0x000..0x83F: leading block, icon, palette, six titles
    IconPicture icon;             // the still icon in its palette colours
    bool hasTransparency = false; // some pixel of the still icon has palette index 0
    BannerInfo info;
};

// Every field of the block. Never throws for any content.
BannerRecord decodeBanner(const RawBanner& raw);

} // namespace cartscope::core
