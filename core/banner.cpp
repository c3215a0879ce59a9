#include "core/banner.h"

#include <algorithm>
#include <cstddef>

#include "core/le.h"

namespace cartscope::core {

namespace {

// Offsets inside the banner block.
constexpr std::size_t kHeadAt = 0x000;
constexpr std::size_t kIconAt = 0x020;
constexpr std::size_t kPaletteAt = 0x220;
constexpr std::size_t kTitlesAt = 0x240;
constexpr std::size_t kTitleBytes = 0x100;
constexpr std::size_t kTitleUnitsRead = kTitleBytes / 2; // 128 of the slot's 256 code units
static_assert(kTitlesAt + 6 * kTitleBytes == kBannerSize);
static_assert(kPaletteAt + 16 * 2 == kTitlesAt);

} // namespace

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

void PopulateNDSBanner(Stream& image, TNDSBanner& banner, std::uint64_t position,
                       IconPicture& picture, bool& hasTransparency)
{
    // The offset is not checked against the image: a position at or past the end simply
    // delivers fewer bytes (or none), and what is not delivered stays zero. One read of the
    // whole block keeps it a single forward pass of exactly kBannerSize bytes.
    std::array<std::uint8_t, kBannerSize> block{};
    image.readAt(position, block);
    const std::span<const std::uint8_t> bytes(block);

    // 0x000 leading block (version, CRC-16, reserved), kept but never checked.
    std::copy_n(block.begin() + kHeadAt, banner.BannerHead.size(), banner.BannerHead.begin());
    // 0x020 icon bitmap
    std::copy_n(block.begin() + kIconAt, banner.IconData.size(), banner.IconData.begin());
    // 0x220 palette: 16 BGR555 words. A word that lies past the end reads as 0 (black); one cut
    // in half keeps its delivered low byte.
    for (std::size_t i = 0; i < banner.Palette.size(); ++i)
        banner.Palette[i] = colourFromWord(le16(bytes, kPaletteAt + 2 * i));

    hasTransparency = false;
    picture = IconPicture{};
    ICO2BMP(banner.IconData, banner, picture, hasTransparency);

    // 0x240 six titles of 128 UTF-16LE code units; the second half of every slot stays zero,
    // so each slot holds a terminating zero unit.
    for (std::size_t slot = 0; slot < banner.Titles.size(); ++slot) {
        auto& title = banner.Titles[slot];
        title.fill(0);
        for (std::size_t u = 0; u < kTitleUnitsRead; ++u)
            title[u] = static_cast<char16_t>(le16(bytes, kTitlesAt + slot * kTitleBytes + 2 * u));
    }
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
