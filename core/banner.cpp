#include "core/banner.h"

#include <algorithm>
#include <cstddef>

#include "core/error.h"
#include "core/hex.h"
#include "core/le.h"

namespace cartscope::core {

const std::array<const char*, 16> NibbleBits = {"0000", "0001", "0010", "0011", "0100", "0101",
                                                "0110", "0111", "1000", "1001", "1010", "1011",
                                                "1100", "1101", "1110", "1111"};

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

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A palette text as a channel value. The decoder only ever writes "0".."248", but the record is
// plain data: anything that is not a run of decimal digits counts as 0, larger numbers as 255.
std::uint8_t channelValue(const std::string& text)
{
    if (text.empty())
        return 0;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = std::min(value * 10 + static_cast<unsigned>(c - '0'), 1000u);
    }
    return static_cast<std::uint8_t>(std::min(value, 255u));
}

} // namespace

// One palette colour word (two bytes, little-endian) through the binary-digit text: its four
// hex digits (second byte first) give 16 binary digits, most significant first, which hold bit
// 15 (ignored) then five digits each of blue, green and red. Each five-digit run with "000"
// appended reads back as the channel shifted left by three (31 gives 248).
TPixelDataDec colourFromWord(std::span<const std::uint8_t> word)
{
    const std::string bits = HexToBinStr(hex4(le16(word)));
    const auto channel = [&bits](std::size_t firstPosition) {
        return std::to_string(BinStrToInt(bits.substr(firstPosition - 1, 5) + "000"));
    };
    TPixelDataDec c;
    c.Blue = channel(2);
    c.Green = channel(7);
    c.Red = channel(12);
    return c;
}

std::string HexToBinStr(const std::string& hex)
{
    std::string result;
    result.reserve(hex.size() * 4);
    // Built from the last character to the first, each nibble put in front; so the character
    // named in the failure is the last bad one in the text.
    for (auto it = hex.rbegin(); it != hex.rend(); ++it) {
        const int n = hexDigitValue(*it);
        if (n < 0)
            throw Error(std::string("'$") + *it + "' is not a valid integer value");
        result.insert(0, NibbleBits[static_cast<std::size_t>(n)]);
    }
    return result;
}

std::int32_t BinStrToInt(const std::string& bits)
{
    // The value is held in 32 bits: only the last 32 characters count, any digit further left
    // would be a bit past bit 31 and is dropped (the value is the low 32 bits of the number).
    std::uint32_t value = 0;
    const std::size_t count = std::min<std::size_t>(bits.size(), 32);
    for (std::size_t bit = 0; bit < count; ++bit) {
        if (bits[bits.size() - 1 - bit] == '1')
            value |= std::uint32_t{1} << bit;
    }
    return static_cast<std::int32_t>(value); // modular in C++20: bit 31 gives a negative value
}

void IndexToPix(int index, const TNDSBanner& banner, IconPicture& picture, int x, int y,
                bool& hasTransparency)
{
    // Callers pass a nibble and a pixel of the 32x32 picture; anything else is ignored rather
    // than written out of bounds.
    if (index < 0 || index > 15 || x < 0 || x > 31 || y < 0 || y > 31)
        return;
    const TPixelDataDec& entry = banner.Palette[static_cast<std::size_t>(index)];
    picture.set(x, y,
                Rgb{channelValue(entry.Red), channelValue(entry.Green), channelValue(entry.Blue)});
    if (index == 0)
        hasTransparency = true;
}

void walkIconTiles(std::span<const std::uint8_t, 512> bitmap,
                   const std::function<void(int x, int y, int index)>& pixel)
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
        banner.Palette[i] = colourFromWord(bytes.subspan(kPaletteAt + 2 * i, 2));

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
