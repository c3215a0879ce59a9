// The banner layout, read in one place: the six-title block every version has, then what the
// version word adds.
#include "core/banner/banner_record.h"

#include <algorithm>
#include <span>
#include <vector>

#include "core/base/le.h"
#include "core/checksum/crc16.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kVersionAt = 0x000;
constexpr std::size_t kIconAt = 0x020;
constexpr std::size_t kPaletteAt = 0x220;
constexpr std::size_t kTitlesAt = 0x240;
constexpr std::size_t kTitleBytes = 0x100;
constexpr std::size_t kTitleUnits = kTitleBytes / 2; // 128 of the slot's 256 code units are read
static_assert(kTitlesAt + 6 * kTitleBytes == kBannerSize);
static_assert(kPaletteAt + 16 * 2 == kTitlesAt);

// The CRC-16s a version carries: where each is stored and the inclusive range it covers.
struct CrcPlace {
    std::size_t at;
    std::uint32_t from;
    std::uint32_t to;
};
constexpr CrcPlace kCrcOriginal{0x02, 0x020, 0x83F};
constexpr CrcPlace kCrcChinese{0x04, 0x020, 0x93F};
constexpr CrcPlace kCrcKorean{0x06, 0x020, 0xA3F};
constexpr CrcPlace kCrcAnimated{0x08, 0x1240, 0x23BF};
static_assert(kCrcOriginal.to + 1 == kBannerSize && kCrcAnimated.to + 1 == kBannerSizeAnimated);

// What a version word says besides its size: the CRC-16s and the title slots.
struct VersionLayout {
    std::vector<CrcPlace> crcs;
    std::size_t slots = 6;
};

VersionLayout layoutOf(std::uint16_t version)
{
    switch (version) {
    case kBannerVersionOriginal:
        return {{kCrcOriginal}, 6};
    case kBannerVersionChinese:
        return {{kCrcOriginal, kCrcChinese}, 7};
    case kBannerVersionKorean:
        return {{kCrcOriginal, kCrcChinese, kCrcKorean}, 8};
    case kBannerVersionAnimated:
        return {{kCrcOriginal, kCrcChinese, kCrcKorean, kCrcAnimated}, 8};
    default:
        // Only the six titles of the original layout are shown; no CRC can be trusted to mean
        // anything for a version nobody defined.
        return {};
    }
}

std::uint16_t crcOver(std::span<const std::uint8_t> bytes)
{
    std::uint16_t crc = 0xFFFF;
    // The largest range is 0x1180 bytes, well inside the 16-bit count.
    crc16::Crc16Update(bytes.data(), static_cast<std::uint16_t>(bytes.size()), crc);
    return crc;
}

// A title slot up to its first zero code unit, at most 128 units.
std::u16string titleAt(std::span<const std::uint8_t> block, std::size_t at)
{
    std::u16string text;
    for (std::size_t u = 0; u < kTitleUnits; ++u) {
        const auto unit = static_cast<char16_t>(le16(block, at + 2 * u));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

AnimationToken tokenOf(std::uint16_t raw)
{
    AnimationToken t;
    t.raw = raw;
    t.ticks = raw & 0xFF;
    t.bitmap = (raw >> 8) & 7;
    t.palette = (raw >> 11) & 7;
    t.flipH = (raw & 0x4000) != 0;
    t.flipV = (raw & 0x8000) != 0;
    return t;
}

// 0x000..0x83F, the block every version starts with, and its still icon.
void decodeOriginal(std::span<const std::uint8_t> bytes, BannerRecord& banner)
{
    TNDSBanner& b = banner.original;
    // 0x000 leading block (version, CRC-16, reserved), kept but never checked.
    std::copy_n(bytes.begin() + kVersionAt, b.BannerHead.size(), b.BannerHead.begin());
    // 0x020 icon bitmap
    std::copy_n(bytes.begin() + kIconAt, b.IconData.size(), b.IconData.begin());
    // 0x220 palette: 16 BGR555 words. A word that lies past the end reads as 0 (black); one cut
    // in half keeps its delivered low byte.
    for (std::size_t i = 0; i < b.Palette.size(); ++i)
        b.Palette[i] = colourFromWord(le16(bytes, kPaletteAt + 2 * i));
    ICO2BMP(b.IconData, b, banner.icon, banner.hasTransparency);

    // 0x240 six titles of 128 UTF-16LE code units; the second half of every slot stays zero,
    // so each slot holds a terminating zero unit.
    for (std::size_t slot = 0; slot < b.Titles.size(); ++slot)
        for (std::size_t u = 0; u < kTitleUnits; ++u)
            b.Titles[slot][u] =
                static_cast<char16_t>(le16(bytes, kTitlesAt + slot * kTitleBytes + 2 * u));
}

// 0x1240 eight bitmaps, 0x2240 eight palettes, 0x2340 the sequence.
void decodeAnimatedIcon(std::span<const std::uint8_t> bytes, AnimatedIcon& a)
{
    for (std::size_t i = 0; i < 8; ++i) {
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(kAnimBitmapsAt + i * 0x200), 0x200,
                    a.bitmaps[i].begin());
        for (std::size_t c = 0; c < 16; ++c)
            a.palettes[i][c] = le16(bytes, kAnimPalettesAt + i * 0x20 + 2 * c);
    }
    // A 0000 token ends the sequence; one without an end stops at its 64th token.
    for (std::size_t t = 0; t < kAnimMaxTokens; ++t) {
        const std::uint16_t raw = le16(bytes, kAnimSequenceAt + 2 * t);
        if (raw == 0) {
            a.ended = true;
            break;
        }
        a.sequence.push_back(tokenOf(raw));
    }
}

// What the version word adds: size, CRC-16 checks, the titles it has, the animated icon.
void decodeVersioned(std::span<const std::uint8_t> bytes, std::uint64_t available, BannerInfo& info)
{
    info.version = le16(bytes, kVersionAt); // 0x000 version word
    const VersionLayout layout = layoutOf(info.version);
    info.size = bannerSizeForVersion(info.version);
    info.knownVersion = !layout.crcs.empty();
    info.bytesInFile = std::min<std::uint64_t>(available, info.size);

    for (const CrcPlace& p : layout.crcs) {
        BannerCrc crc;
        crc.at = static_cast<std::uint32_t>(p.at);
        crc.from = p.from;
        crc.to = p.to;
        crc.stored = le16(bytes, p.at);
        crc.computed = crcOver(bytes.subspan(p.from, p.to - p.from + 1));
        crc.complete = p.to < info.bytesInFile;
        info.crcs.push_back(crc);
    }

    // 0x240 six titles, 0x840 Chinese (version 2 on), 0x940 Korean (version 3 on).
    for (std::size_t slot = 0; slot < layout.slots; ++slot) {
        info.hasSlot[slot] = true;
        info.titles[slot] = titleAt(bytes, kTitlesAt + slot * kTitleBytes);
    }

    if (info.version == kBannerVersionAnimated) {
        decodeAnimatedIcon(bytes, info.animation);
        info.animated = !info.animation.sequence.empty();
    }
}

} // namespace

BannerRecord decodeBanner(const RawBanner& raw)
{
    BannerRecord banner;
    const std::span<const std::uint8_t> bytes(raw.m_bytes);
    decodeOriginal(bytes, banner);
    decodeVersioned(bytes, raw.available(), banner.info);
    return banner;
}

} // namespace cartscope::core
