// The banner as its version describes it, the animated icon and its PNG, and the header (both
// halves, decoded and encoded again) over arbitrary bytes: the bytes are the image from offset
// 0 and the banner lies at the offset the header names (or anywhere, when that is past the
// end).
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/banner/banner_info.h"
#include "core/banner/banner_record.h"
#include "core/banner/png.h"
#include "core/base/le.h"
#include "core/dsi_rows.h"
#include "core/image/dsi.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    MemoryStream stream({data, size});
    const std::uint64_t bannerAt =
        size >= 0x6C ? le32({data, size}, 0x68) : (size > 4 ? data[size - 1] : 0);
    const BannerInfo banner = decodeBanner(RawBanner::read(stream, bannerAt)).info;
    const HeaderRecord header = decodeHeader(RawHeader::read(stream));
    const DsiInfo& dsi = header.dsi;
    // Encoding gives back the block it was decoded from (zero where the input ended).
    const std::vector<std::uint8_t> block = encodeHeader(header);
    for (std::size_t i = 0; i < block.size(); ++i)
        if (block[i] != (i < size ? data[i] : 0))
            __builtin_trap();
    if (banner.bytesInFile > banner.size || banner.animation.sequence.size() > 64)
        __builtin_trap();
    const auto rows = dsiPageRows(banner, dsi);
    (void)rows;
    if (banner.animated) {
        const auto frames = decodeAnimation(banner.animation);
        const auto png = encodeAnimatedPng(frames);
        if (frames.size() != banner.animation.sequence.size() || png.size() < 8 ||
            std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8) != 0)
            __builtin_trap();
    }
    return 0;
}
