#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/io/stream.h"

namespace cartscope::core {

inline constexpr std::size_t kBannerSize = 0x840;
static_assert(kBannerSize == 0x20 + 0x200 + 0x20 + 6 * 0x100);

// One palette colour: each channel a multiple of 8 from 0 to 248 (the 5-bit value shifted left
// by three). Held as numbers; nothing shows them as text.
struct TPixelDataDec {
    std::uint8_t Blue = 0;
    std::uint8_t Green = 0;
    std::uint8_t Red = 0;
    friend bool operator==(const TPixelDataDec&, const TPixelDataDec&) = default;
};

// The banner block: leading block, 512-byte icon, 16 palette colours, six UTF-16 title slots of
// 256 code units (only the first 128 are ever filled from an image; the rest stay zero).
struct TNDSBanner {
    std::array<std::uint8_t, 32> BannerHead{};
    std::array<std::uint8_t, 512> IconData{};
    std::array<TPixelDataDec, 16> Palette{};
    std::array<std::array<char16_t, 256>, 6> Titles{};
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The decoded 32x32 icon: column x 0..31 left to right, row y 0..31 top to bottom.
struct IconPicture {
    std::array<Rgb, 32 * 32> pixels{};
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * 32 + x)]; }
    void set(int x, int y, Rgb c) { pixels[static_cast<std::size_t>(y * 32 + x)] = c; }
    // The transparent view's key colour: the bottom-left pixel (column 0, row 31).
    Rgb transparentKey() const { return at(0, 31); }
};

struct BannerRecord;

// Reads the banner at `position` into the whole banner record (bytes past the end read as
// zero; a palette word that is not delivered counts as colour word 0): the block, the icon
// decoded from it, whether some pixel has palette index 0, and what the version adds.
void PopulateNDSBanner(const Stream& image, BannerRecord& banner, std::uint64_t position);

// The tile walk of a 4-bit 32x32 bitmap: 16 tiles of 8x8 in four rows of four, each tile row
// four bytes, two pixels per byte with the low nibble on the left. Calls `pixel(x, y, index)`
// 1024 times, byte by byte, left pixel first. The still icon and every animation bitmap go
// through it (a template, so the call for each pixel is inlined).
template <typename Pixel>
void walkIconTiles(std::span<const std::uint8_t, 512> bitmap, Pixel&& pixel)
{
    for (std::size_t b = 0; b < bitmap.size(); ++b) {
        const int t = static_cast<int>(b / 32);
        const int r = static_cast<int>((b % 32) / 4);
        const int k = static_cast<int>(b % 4);
        const int y = 8 * (t / 4) + r;
        const int x = 8 * (t % 4) + 2 * k;
        pixel(x, y, bitmap[b] & 0x0F);
        pixel(x + 1, y, bitmap[b] >> 4);
    }
}

// One BGR555 colour word (read little-endian) as a palette colour: red in bits 0-4, green in
// 5-9, blue in 10-14, each shifted left by three; bit 15 ignored.
TPixelDataDec colourFromWord(std::uint16_t word);

void ICO2BMP(const std::array<std::uint8_t, 512>& icon, const TNDSBanner& banner,
             IconPicture& picture, bool& hasTransparency);
void IndexToPix(int index, const TNDSBanner& banner, IconPicture& picture, int x, int y,
                bool& hasTransparency);

// Title of slot 0..5 (Japanese, English, French, German, Italian, Spanish) up to its first
// zero code unit.
std::u16string titleText(const TNDSBanner& banner, int slot);

inline constexpr std::array<const char*, 6> kTitleLanguages = {"Japanese", "English", "French",
                                                               "German",   "Italian", "Spanish"};

} // namespace cartscope::core
