#include "core/banner/banner.h"

#include <cstddef>

#include "core/banner/banner_record.h"

namespace cartscope::core {

TPixelDataDec colourFromWord(std::uint16_t word)
{
    const auto channel = [word](unsigned shift) {
        return static_cast<std::uint8_t>(((word >> shift) & 0x1F) << 3);
    };
    return TPixelDataDec{.Blue = channel(10), .Green = channel(5), .Red = channel(0)};
}

void IndexToPix(int index, const TNDSBanner& banner, IconPicture& picture, int x, int y,
                bool& hasTransparency)
{
    // Callers pass a nibble and a pixel of the 32x32 picture; anything else is ignored rather
    // than written out of bounds.
    if (index < 0 || index > 15 || x < 0 || x > 31 || y < 0 || y > 31)
        return;
    const TPixelDataDec& entry = banner.Palette[static_cast<std::size_t>(index)];
    picture.set(x, y, Rgb{entry.Red, entry.Green, entry.Blue});
    if (index == 0)
        hasTransparency = true;
}

void ICO2BMP(const std::array<std::uint8_t, 512>& icon, const TNDSBanner& banner,
             IconPicture& picture, bool& hasTransparency)
{
    walkIconTiles(icon, [&](int x, int y, int index) {
        IndexToPix(index, banner, picture, x, y, hasTransparency);
    });
}

void PopulateNDSBanner(const Stream& image, BannerRecord& banner, std::uint64_t position)
{
    banner = decodeBanner(RawBanner::read(image, position));
}

std::u16string titleText(const TNDSBanner& banner, int slot)
{
    if (slot < 0 || slot >= static_cast<int>(banner.Titles.size()))
        return {};
    const auto& units = banner.Titles[static_cast<std::size_t>(slot)];
    std::u16string text;
    for (char16_t u : units) { // at most the slot's 256 units
        if (u == 0)
            break;
        text.push_back(u);
    }
    return text;
}

} // namespace cartscope::core
