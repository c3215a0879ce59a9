#include "thumbnailer/thumbnail.h"

#include <zlib.h>

#include "core/banner_info.h"
#include "core/error.h"
#include "core/header.h"
#include "core/hex.h"
#include "core/le.h"
#include "core/png.h"
#include "core/whole_file.h"

namespace cartscope::thumbnail {

namespace {

constexpr std::uint64_t kBannerOffsetField = 0x068;
// The part of the banner block a thumbnail needs: leading block, icon bitmap and palette.
constexpr std::uint64_t kIconAndPaletteBytes = 0x020 + 0x200 + 0x020;
static_assert(kIconAndPaletteBytes <= core::kBannerSize);

void put32be(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

} // namespace

IconFrame firstFrame(const core::TNDSBanner& banner)
{
    IconFrame frame;

    // The palette indices come from the banner decoder itself: decoding the bitmap with a
    // palette whose entry i has red value i turns every pixel's red channel into its index,
    // so the tile layout lives in one place only.
    core::TNDSBanner coded;
    for (std::size_t i = 0; i < coded.Palette.size(); ++i)
        coded.Palette[i] = core::TPixelDataDec{.Red = static_cast<std::uint8_t>(i)};
    core::IconPicture indices;
    bool anyIndexZero = false;
    core::ICO2BMP(banner.IconData, coded, indices, anyIndexZero);
    for (std::size_t p = 0; p < frame.index.size(); ++p)
        frame.index[p] = indices.pixels[p].r;

    for (int i = 0; i < 16; ++i) {
        core::IconPicture one;
        bool zero = false;
        core::IndexToPix(i, banner, one, 0, 0, zero);
        frame.palette[static_cast<std::size_t>(i)] = one.at(0, 0);
    }
    return frame;
}

IconFrame firstAnimationFrame(const core::AnimatedIcon& icon)
{
    // The first token names the bitmap, the palette and the flips of the frame shown first.
    const core::AnimationToken& token = icon.sequence.front();
    core::TNDSBanner banner;
    banner.IconData = icon.bitmaps[static_cast<std::size_t>(token.bitmap & 7)];
    const auto& words = icon.palettes[static_cast<std::size_t>(token.palette & 7)];
    for (std::size_t i = 0; i < words.size(); ++i)
        banner.Palette[i] = core::colourFromWord(words[i]);
    const IconFrame unflipped = firstFrame(banner);
    IconFrame frame = unflipped;
    for (int y = 0; y < kIconSide; ++y) {
        for (int x = 0; x < kIconSide; ++x) {
            const int fromX = token.flipH ? kIconSide - 1 - x : x;
            const int fromY = token.flipV ? kIconSide - 1 - y : y;
            frame.index[static_cast<std::size_t>(y * kIconSide + x)] =
                unflipped.index[static_cast<std::size_t>(fromY * kIconSide + fromX)];
        }
    }
    return frame;
}

IconFrame readIconFrame(core::Stream& image)
{
    std::array<std::uint8_t, 4> field{};
    // 0x068 banner offset
    if (image.pread(kBannerOffsetField, field) != field.size())
        throw core::Error("Not a cartridge image: the file ends inside the header");
    // Offsets of 0x80000000 and above are positions past the end, as everywhere else.
    const std::uint32_t offsetField = core::le32(field);
    const std::uint64_t offset = core::headerOffsetPosition(offsetField);
    if (offset == 0)
        throw core::Error("The image has no banner (its banner offset is 0)");
    const std::uint64_t size = image.size();
    if (offset >= size || kIconAndPaletteBytes > size - offset)
        throw core::Error("The banner at 0x" + core::hex8(offsetField) +
                          " lies past the end of the image");

    // 0x000 of the banner: its version; 0x0103 carries an animated icon, whose first frame is
    // what the thumbnail shows.
    std::array<std::uint8_t, 2> version{};
    image.pread(offset, version);
    if (version[0] == 0x03 && version[1] == 0x01) {
        const core::BannerInfo info = core::readBannerInfo(image, offset);
        if (info.animated && !info.animation.sequence.empty())
            return firstAnimationFrame(info.animation);
    }
    core::TNDSBanner banner;
    core::IconPicture picture;
    bool hasTransparency = false;
    core::PopulateNDSBanner(image, banner, offset, picture, hasTransparency);
    return firstFrame(banner);
}

std::vector<std::uint8_t> renderRgba(const IconFrame& frame, int size)
{
    if (size < kMinSize || size > kMaxSize)
        throw core::Error("The thumbnail size must be between 1 and 2048");
    const auto side = static_cast<std::size_t>(size);
    std::vector<std::uint8_t> rgba(side * side * 4);
    std::size_t at = 0;
    for (std::size_t y = 0; y < side; ++y) {
        // Nearest neighbour: output pixel y shows icon row floor(y * 32 / size).
        const std::size_t iconRow = y * kIconSide / side;
        for (std::size_t x = 0; x < side; ++x) {
            const std::size_t iconColumn = x * kIconSide / side;
            const std::uint8_t index = frame.index[iconRow * kIconSide + iconColumn];
            const core::Rgb c = frame.palette[index & 0x0F];
            const bool transparent = index == 0;
            rgba[at++] = transparent ? 0 : c.r;
            rgba[at++] = transparent ? 0 : c.g;
            rgba[at++] = transparent ? 0 : c.b;
            rgba[at++] = transparent ? 0 : 255;
        }
    }
    return rgba;
}

std::vector<std::uint8_t> encodeRgbaPng(std::span<const std::uint8_t> rgba, int size)
{
    const auto side = static_cast<std::size_t>(size);
    if (size < kMinSize || size > kMaxSize || rgba.size() != side * side * 4)
        throw core::Error("The thumbnail size must be between 1 and 2048");

    // Filter type 0 on every row: the picture is blocks of flat colour, which deflate's
    // repeat matching already packs well.
    std::vector<std::uint8_t> raw;
    raw.reserve(side * (1 + side * 4));
    for (std::size_t y = 0; y < side; ++y) {
        raw.push_back(0);
        const auto row = rgba.subspan(y * side * 4, side * 4);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw core::Error("Out of memory");
    packed.resize(packedSize);

    std::vector<std::uint8_t> png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> ihdr;
    put32be(ihdr, static_cast<std::uint32_t>(size)); // width
    put32be(ihdr, static_cast<std::uint32_t>(size)); // height
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0}); // 8 bits, RGBA, deflate, adaptive, no interlace
    core::detail::appendChunk(png, "IHDR", ihdr);
    core::detail::appendIdatChunks(png, packed);
    core::detail::appendChunk(png, "IEND", {});
    return png;
}

void makeThumbnail(const std::string& input, const std::string& output, int size)
{
    // Everything is read and encoded before OUTPUT is touched: a failure leaves no file.
    std::vector<std::uint8_t> png;
    {
        core::FileStream image(input);
        png = encodeRgbaPng(renderRgba(readIconFrame(image), size), size);
    }
    // The output name comes from the file manager: a link there is replaced, never followed.
    core::writeWholeFile(output, png, nullptr, core::AtLink::Replace);
}

} // namespace cartscope::thumbnail
