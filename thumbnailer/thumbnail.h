#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/banner/banner.h"
#include "core/banner/banner_info.h"
#include "core/io/stream.h"

// The file manager's thumbnail of a cartridge image: the banner icon scaled up with
// nearest-neighbour sampling, transparent where the icon uses palette index 0.
namespace cartscope::thumbnail {

inline constexpr int kIconSide = 32;
// Thumbnail managers ask for 128 to 1024 pixels; the bound keeps the picture a few MiB at most.
inline constexpr int kMinSize = 1;
inline constexpr int kMaxSize = 2048;

// One picture of the icon: a palette index per pixel (row by row, top row first) and the
// colours of the 16 palette entries.
struct IconFrame {
    std::array<std::uint8_t, kIconSide * kIconSide> index{};
    std::array<core::Rgb, 16> palette{};
};

// Reads the header's banner offset and the banner block, nothing else, and returns the icon
// to show. Throws core::Error when the image has no banner to show: a banner offset of 0, or an
// icon and palette that do not lie wholly inside the image.
IconFrame readIconFrame(const core::Stream& image);

// The frame the thumbnail shows for a decoded banner.
IconFrame firstFrame(const core::TNDSBanner& banner);

// The frame an animated icon shows first: the first token's bitmap and palette, flipped as the
// token says.
IconFrame firstAnimationFrame(const core::AnimatedIcon& icon);

// SIZE x SIZE pixels, 4 bytes each (R G B A), row by row.
std::vector<std::uint8_t> renderRgba(const IconFrame& frame, int size);

// A PNG of SIZE x SIZE 8-bit RGBA pixels.
std::vector<std::uint8_t> encodeRgbaPng(std::span<const std::uint8_t> rgba, int size);

// The whole thumbnailer: image at `input` -> PNG at `output`.
void makeThumbnail(const std::string& input, const std::string& output, int size);

} // namespace cartscope::thumbnail
