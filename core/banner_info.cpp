#include "core/banner_info.h"

#include <algorithm>

#include "core/crc16.h"
#include "core/hex.h"
#include "core/le.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kVersionAt = 0x000;
constexpr std::size_t kTitlesAt = 0x240;
constexpr std::size_t kTitleBytes = 0x100;
constexpr std::size_t kTitleUnits = kTitleBytes / 2; // at most 128 code units are read

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

// At least three digits: the banner ranges are written "020-83F".
std::string hex3(std::uint32_t v)
{
    return hexText(v, 3);
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

BannerInfo readBannerInfo(const Stream& image, std::uint64_t position)
{
    // One read of the largest banner; what lies past the end of the file stays zero. The
    // position may be anything up to 2^62 (offsets that do not fit are placed there).
    std::array<std::uint8_t, kBannerSizeAnimated> block{};
    const std::uint64_t fileSize = image.size();
    const std::uint64_t available = position < fileSize ? fileSize - position : 0;
    if (available > 0)
        image.pread(position, block);
    const std::span<const std::uint8_t> bytes(block);

    BannerInfo info;
    info.version = le16(bytes, kVersionAt); // 0x000 version word
    std::vector<CrcPlace> places;
    std::size_t slots = 6;
    switch (info.version) {
    case kBannerVersionOriginal:
        info.size = kBannerSize;
        places = {kCrcOriginal};
        break;
    case kBannerVersionChinese:
        info.size = kBannerSizeChinese;
        places = {kCrcOriginal, kCrcChinese};
        slots = 7;
        break;
    case kBannerVersionKorean:
        info.size = kBannerSizeKorean;
        places = {kCrcOriginal, kCrcChinese, kCrcKorean};
        slots = 8;
        break;
    case kBannerVersionAnimated:
        info.size = kBannerSizeAnimated;
        places = {kCrcOriginal, kCrcChinese, kCrcKorean, kCrcAnimated};
        slots = 8;
        break;
    default:
        // Only the six titles of the original layout are shown; no CRC can be trusted to mean
        // anything for a version nobody defined.
        info.size = kBannerSize;
        break;
    }
    info.knownVersion = !places.empty();
    info.bytesInFile = std::min<std::uint64_t>(available, info.size);

    for (const CrcPlace& p : places) {
        BannerCrc crc;
        crc.from = p.from;
        crc.to = p.to;
        crc.stored = le16(bytes, p.at);
        crc.computed = crcOver(bytes.subspan(p.from, p.to - p.from + 1));
        crc.complete = p.to < info.bytesInFile;
        info.crcs.push_back(crc);
    }

    // 0x240 six titles, 0x840 Chinese (version 2 on), 0x940 Korean (version 3 on).
    for (std::size_t slot = 0; slot < slots; ++slot) {
        info.hasSlot[slot] = true;
        info.titles[slot] = titleAt(bytes, kTitlesAt + slot * kTitleBytes);
    }

    if (info.version == kBannerVersionAnimated) {
        AnimatedIcon& a = info.animation;
        for (std::size_t i = 0; i < 8; ++i) {
            // 0x1240 bitmaps of 0x200 bytes, 0x2240 palettes of 16 colour words
            std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(kAnimBitmapsAt + i * 0x200),
                        0x200, a.bitmaps[i].begin());
            for (std::size_t c = 0; c < 16; ++c)
                a.palettes[i][c] = le16(bytes, kAnimPalettesAt + i * 0x20 + 2 * c);
        }
        // 0x2340 sequence: a 0000 token ends it; one without an end stops at its 64th token.
        for (std::size_t t = 0; t < kAnimMaxTokens; ++t) {
            const std::uint16_t raw = le16(bytes, kAnimSequenceAt + 2 * t);
            if (raw == 0) {
                a.ended = true;
                break;
            }
            a.sequence.push_back(tokenOf(raw));
        }
        info.animated = !a.sequence.empty();
    }
    return info;
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
