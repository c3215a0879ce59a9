#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "core/stream.h"

namespace cartscope::core {

inline constexpr std::size_t kBannerSize = 0x840;
static_assert(kBannerSize == 0x20 + 0x200 + 0x20 + 6 * 0x100);

// One palette colour as three decimal texts (multiples of 8 from 0 to 248).
struct TPixelDataDec {
    std::string Blue;
    std::string Green;
    std::string Red;
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

// The four binary digits of each nibble, most significant first.
extern const std::array<const char*, 16> NibbleBits;

// Reads the banner at `position` (bytes past the end read as zero; a palette word that is not
// delivered counts as colour word 0), decodes the icon into `picture` and sets
// `hasTransparency` exactly when some pixel has palette index 0.
void PopulateNDSBanner(Stream& image, TNDSBanner& banner, std::uint64_t position,
                       IconPicture& picture, bool& hasTransparency);

// The tile walk of a 4-bit 32x32 bitmap: 16 tiles of 8x8 in four rows of four, each tile row
// four bytes, two pixels per byte with the low nibble on the left. Calls `pixel(x, y, index)`
// 1024 times, byte by byte, left pixel first. The still icon and every animation bitmap go
// through it.
void walkIconTiles(std::span<const std::uint8_t, 512> bitmap,
                   const std::function<void(int x, int y, int index)>& pixel);

// One BGR555 colour word (two bytes, little-endian) as palette texts: each 5-bit channel
// shifted left by three, bit 15 ignored.
TPixelDataDec colourFromWord(std::span<const std::uint8_t> word);

void ICO2BMP(const std::array<std::uint8_t, 512>& icon, const TNDSBanner& banner,
             IconPicture& picture, bool& hasTransparency);
void IndexToPix(int index, const TNDSBanner& banner, IconPicture& picture, int x, int y,
                bool& hasTransparency);

// "A5" -> "10100101"; throws "'$%c' is not a valid integer value" on a non-hex character.
std::string HexToBinStr(const std::string& hex);
// Last character is bit 0; "1" sets a bit, anything else counts as 0; bits past 31 are dropped.
std::int32_t BinStrToInt(const std::string& bits);

// Title of slot 0..5 (Japanese, English, French, German, Italian, Spanish) up to its first
// zero code unit.
std::u16string titleText(const TNDSBanner& banner, int slot);

inline constexpr std::array<const char*, 6> kTitleLanguages = {"Japanese", "English", "French",
                                                               "German",   "Italian", "Spanish"};

} // namespace cartscope::core
