#include "thumbnailer/thumbnail.h"

#include <zlib.h>

#include "core/banner/banner_record.h"
#include "core/banner/png.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/image/header_record.h"
#include "core/io/whole_file.h"

namespace cartscope::thumbnail {

namespace {

// The DS header, which must hold the banner offset field (0x068..0x06B).
constexpr std::size_t kDsHeaderBytes = 0x200;
constexpr std::size_t kBannerOffsetEnd = 0x06C;
// The part of the banner block a thumbnail needs: leading block, icon bitmap and palette.
constexpr std::uint64_t kIconAndPaletteBytes = 0x020 + 0x200 + 0x020;
static_assert(kIconAndPaletteBytes <= core::kBannerSize);

void put32be(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A 4-bit bitmap's palette indices, by the icon decoder's own tile walk.
IconFrame frameOf(const std::array<std::uint8_t, 512>& bitmap,
                  const std::array<core::Rgb, 16>& palette)
{
    IconFrame frame;
    frame.palette = palette;
    core::walkIconTiles(bitmap, [&frame](int x, int y, int index) {
        frame.index[static_cast<std::size_t>(y * kIconSide + x)] = static_cast<std::uint8_t>(index);
    });
    return frame;
}

} // namespace

IconFrame firstFrame(const core::TNDSBanner& banner)
{
    std::array<core::Rgb, 16> palette{};
    for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = {banner.Palette[i].Red, banner.Palette[i].Green, banner.Palette[i].Blue};
    return frameOf(banner.IconData, palette);
}

IconFrame firstAnimationFrame(const core::AnimatedIcon& icon)
{
    // The first token names the bitmap, the palette and the flips of the frame shown first.
    const core::AnimationToken& token = icon.sequence.front();
    const auto& words = icon.palettes[static_cast<std::size_t>(token.palette & 7)];
    std::array<core::Rgb, 16> palette{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const core::TPixelDataDec c = core::colourFromWord(words[i]);
        palette[i] = {c.Red, c.Green, c.Blue};
    }
    const IconFrame unflipped =
        frameOf(icon.bitmaps[static_cast<std::size_t>(token.bitmap & 7)], palette);
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

IconFrame readIconFrame(const core::Stream& image)
{
    // The DS header and the banner, decoded as every load decodes them; nothing else is read.
    const core::HeaderRecord header =
        core::decodeHeader(core::RawHeader::read(image, kDsHeaderBytes));
    if (header.available < kBannerOffsetEnd)
        throw core::Error("Not a cartridge image: the file ends inside the header");
    // Offsets of 0x80000000 and above are positions past the end, as everywhere else.
    const std::uint32_t offsetField = header.ds.BannerOffset;
    const std::uint64_t offset = core::headerOffsetPosition(offsetField);
    if (offset == 0)
        throw core::Error("The image has no banner (its banner offset is 0)");
    const std::uint64_t size = image.size();
    if (offset >= size || kIconAndPaletteBytes > size - offset)
        throw core::Error("The banner at 0x" + core::hex8(offsetField) +
                          " lies past the end of the image");

    // An animated icon (banner version 0x0103) shows its first frame.
    const core::BannerRecord banner = core::decodeBanner(core::RawBanner::read(image, offset));
    if (banner.info.animated)
        return firstAnimationFrame(banner.info.animation);
    return firstFrame(banner.original);
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
