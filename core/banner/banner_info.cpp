#include "core/banner/banner_info.h"

#include <algorithm>

#include "core/base/hex.h"

namespace cartscope::core {

namespace {

// At least three digits: the banner ranges are written "020-83F".
std::string hex3(std::uint32_t v)
{
    return hexText(v, 3);
}

} // namespace

std::string BannerCrc::rangeText() const
{
    return hex3(from) + "-" + hex3(to);
}

std::string BannerCrc::storedText() const
{
    return hex4(stored);
}

std::string BannerCrc::computedText() const
{
    return hex4(computed);
}

std::string BannerCrc::verdict() const
{
    return ok() ? "OK" : "BAD";
}

std::string BannerInfo::versionText() const
{
    return hex4(version);
}

std::string BannerInfo::status() const
{
    std::string s;
    if (!knownVersion)
        s = kUnknownBannerVersionText;
    if (truncated()) {
        if (!s.empty())
            s += "; ";
        s += bytesInFile == 0
                 ? "banner lies past the end of the file"
                 : "banner cut short by the end of the file: " + std::to_string(bytesInFile) +
                       " of " + std::to_string(size) + " bytes";
    }
    return s;
}

std::vector<AnimationFrame> decodeAnimation(const AnimatedIcon& icon)
{
    std::vector<AnimationFrame> frames;
    frames.reserve(icon.sequence.size()); // at most 64
    for (const AnimationToken& token : icon.sequence) {
        const auto& bitmap = icon.bitmaps[static_cast<std::size_t>(token.bitmap)];
        const auto& palette = icon.palettes[static_cast<std::size_t>(token.palette)];

        // The still icon's decoder paints the frame with this palette.
        TNDSBanner colours;
        for (std::size_t c = 0; c < 16; ++c)
            colours.Palette[c] = colourFromWord(palette[c]);
        IconPicture upright;
        bool anyClear = false;
        ICO2BMP(bitmap, colours, upright, anyClear);
        std::array<bool, 32 * 32> clear{};
        walkIconTiles(bitmap, [&clear](int x, int y, int index) {
            clear[static_cast<std::size_t>(y * 32 + x)] = index == 0;
        });

        AnimationFrame frame;
        frame.ticks = std::max(token.ticks, 1);
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const int sx = token.flipH ? 31 - x : x;
                const int sy = token.flipV ? 31 - y : y;
                frame.picture.set(x, y, upright.at(sx, sy));
                frame.clear[static_cast<std::size_t>(y * 32 + x)] =
                    clear[static_cast<std::size_t>(sy * 32 + sx)];
            }
        }
        frames.push_back(frame);
    }
    return frames;
}

} // namespace cartscope::core
