#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/banner/banner.h"

// The banner as its version word describes it: the size, every CRC-16 the version carries,
// eight titles (Chinese and Korean after the six) and the animated icon. Decoded with the
// six-title block into one BannerRecord (banner_record.h).
namespace cartscope::core {

inline constexpr std::uint16_t kBannerVersionOriginal = 0x0001;
inline constexpr std::uint16_t kBannerVersionChinese = 0x0002;
inline constexpr std::uint16_t kBannerVersionKorean = 0x0003;
inline constexpr std::uint16_t kBannerVersionAnimated = 0x0103;

inline constexpr std::size_t kBannerSizeChinese = 0x940;
inline constexpr std::size_t kBannerSizeKorean = 0xA40;
inline constexpr std::size_t kBannerSizeAnimated = 0x23C0;
static_assert(kBannerSizeChinese == kBannerSize + 0x100);
static_assert(kBannerSizeKorean == kBannerSizeChinese + 0x100);

// The size of the banner block a version word gives: 0x840 for version 1 and for any version
// nobody defined.
inline constexpr std::uint64_t bannerSizeForVersion(std::uint16_t version)
{
    switch (version) {
    case kBannerVersionChinese:
        return kBannerSizeChinese;
    case kBannerVersionKorean:
        return kBannerSizeKorean;
    case kBannerVersionAnimated:
        return kBannerSizeAnimated;
    default:
        return kBannerSize;
    }
}

// The animated icon: eight bitmaps at 0x1240, eight palettes at 0x2240, 64 tokens at 0x2340.
inline constexpr std::size_t kAnimBitmapsAt = 0x1240;
inline constexpr std::size_t kAnimPalettesAt = 0x2240;
inline constexpr std::size_t kAnimSequenceAt = 0x2340;
inline constexpr std::size_t kAnimMaxTokens = 64;
static_assert(kAnimBitmapsAt + 8 * 0x200 == kAnimPalettesAt);
static_assert(kAnimPalettesAt + 8 * 0x20 == kAnimSequenceAt);
static_assert(kAnimSequenceAt + 2 * kAnimMaxTokens == kBannerSizeAnimated);

// The eight title languages in slot order.
inline constexpr std::array<const char*, 8> kAllTitleLanguages = {
    "Japanese", "English", "French", "German", "Italian", "Spanish", "Chinese", "Korean"};

// One CRC-16/MODBUS of the banner: the inclusive range it covers (banner-relative), the value
// stored in the leading block and the value computed over the bytes read. A range that runs
// past the end of the file is computed over what is there (the rest reads as zero) and is
// never OK.
struct BannerCrc {
    std::uint32_t at = 0; // where the value is stored, banner-relative
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint16_t stored = 0;
    std::uint16_t computed = 0;
    bool complete = true;

    bool ok() const { return complete && stored == computed; }
    std::string rangeText() const;    // "020-83F"
    std::string storedText() const;   // four upper-case hex digits
    std::string computedText() const; // four upper-case hex digits
    std::string verdict() const;      // "OK" / "BAD"
};

// One token of the animation sequence.
struct AnimationToken {
    std::uint16_t raw = 0;
    int ticks = 0;   // bits 0-7, 1/60 s; 0 is shown for one tick
    int bitmap = 0;  // bits 8-10
    int palette = 0; // bits 11-13
    bool flipH = false;
    bool flipV = false;
};

struct AnimatedIcon {
    std::array<std::array<std::uint8_t, 512>, 8> bitmaps{};
    std::array<std::array<std::uint16_t, 16>, 8> palettes{};
    std::vector<AnimationToken> sequence; // the tokens before the end, at most 64
    bool ended = false;                   // a 0000 token ended the sequence
};

struct BannerInfo {
    std::uint16_t version = 0;
    bool knownVersion = false;
    std::uint64_t size = 0;        // what the version claims (0x840 for an unknown version)
    std::uint64_t bytesInFile = 0; // how much of that lies inside the file
    std::vector<BannerCrc> crcs;
    std::array<std::u16string, 8> titles; // Japanese first; a slot the version lacks is empty
    std::array<bool, 8> hasSlot{};        // whether the version has the slot
    bool animated = false;                // version 0x0103 with at least one token
    AnimatedIcon animation;

    bool truncated() const { return bytesInFile < size; }
    std::string versionText() const; // four upper-case hex digits
    // "" when all is well; otherwise what is wrong ("unknown banner version", a cut banner).
    std::string status() const;
};

inline constexpr const char* kUnknownBannerVersionText = "unknown banner version";

// One frame of the animation, full size: the decoded colours and which pixels have palette
// index 0 (transparent in every frame).
struct AnimationFrame {
    IconPicture picture;
    std::array<bool, 32 * 32> clear{};
    int ticks = 1; // at least one 1/60 s

    bool isClear(int x, int y) const { return clear[static_cast<std::size_t>(y * 32 + x)]; }
};

// One frame per sequence token, with its bitmap, palette and flips applied.
std::vector<AnimationFrame> decodeAnimation(const AnimatedIcon& icon);

} // namespace cartscope::core
