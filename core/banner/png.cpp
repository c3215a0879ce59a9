#include "core/banner/png.h"

#include <algorithm>

#include <zlib.h>

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/whole_file.h"

namespace cartscope::core {

namespace {

constexpr int kSide = 32;
constexpr std::size_t kRowBytes = 1 + 3 * kSide; // filter type + R G B per pixel
constexpr std::uint8_t kFilterSub = 1;
constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

void put32be(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// One zlib stream of `input`: level 7, deflate, 32 KiB window, memory level 8, default
// strategy, finished. The output buffer is sized by deflateBound, so one Z_FINISH call ends it.
std::vector<std::uint8_t> deflateAll(const std::vector<std::uint8_t>& input)
{
    z_stream zs{};
    if (deflateInit2(&zs, 7, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Error("Out of memory");
    struct End {
        z_stream* zs;
        ~End() { deflateEnd(zs); }
    } end{&zs};

    std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(input.size())));
    // zlib's input pointer is not const-qualified; deflate only reads through it.
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END)
        throw Error("Out of memory");
    out.resize(zs.total_out);
    return out;
}

} // namespace

namespace detail {

void appendChunk(std::vector<std::uint8_t>& out, const char (&type)[5],
                 std::span<const std::uint8_t> data)
{
    put32be(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    // The chunk CRC is the ISO 3309 CRC-32 over the type and the data, not the length.
    uLong crc = ::crc32(0L, Z_NULL, 0);
    crc = ::crc32(crc, out.data() + typeAt, static_cast<uInt>(out.size() - typeAt));
    put32be(out, static_cast<std::uint32_t>(crc));
}

void appendIdatChunks(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> zlibStream)
{
    // Bounded by the stream's length: every pass but the last consumes kMaxIdatData bytes.
    std::size_t at = 0;
    do {
        const std::size_t n = std::min(kMaxIdatData, zlibStream.size() - at);
        appendChunk(out, "IDAT", zlibStream.subspan(at, n));
        at += n;
    } while (at < zlibStream.size());
}

std::vector<std::uint8_t> filteredRgbaRows(const RgbaImage& image)
{
    // Each byte minus the same channel of the pixel on the left (zero left of column 0).
    const std::size_t rowBytes = 4 * std::size_t{image.width};
    std::vector<std::uint8_t> rows;
    rows.reserve(image.height * (1 + rowBytes));
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::uint8_t* raw = image.rgba.data() + y * rowBytes;
        rows.push_back(kFilterSub);
        for (std::size_t i = 0; i < rowBytes; ++i)
            rows.push_back(i < 4 ? raw[i] : static_cast<std::uint8_t>(raw[i] - raw[i - 4]));
    }
    return rows;
}

std::vector<std::uint8_t> filteredRows(const IconPicture& picture)
{
    // Each channel minus the same channel of the pixel on the left (zero left of column 0).
    constexpr auto side = static_cast<std::size_t>(kSide);
    std::vector<std::uint8_t> rows(side * kRowBytes);
    for (std::size_t y = 0; y < side; ++y) {
        std::uint8_t* out = rows.data() + y * kRowBytes;
        *out++ = kFilterSub;
        Rgb left{};
        for (std::size_t x = 0; x < side; ++x) {
            const Rgb c = picture.pixels[y * side + x];
            *out++ = static_cast<std::uint8_t>(c.r - left.r);
            *out++ = static_cast<std::uint8_t>(c.g - left.g);
            *out++ = static_cast<std::uint8_t>(c.b - left.b);
            left = c;
        }
    }
    return rows;
}

} // namespace detail

std::vector<std::uint8_t> encodeIconPng(const IconPicture& picture, bool transparent)
{
    std::vector<std::uint8_t> png(kSignature.begin(), kSignature.end());

    std::vector<std::uint8_t> ihdr;
    put32be(ihdr, kSide); // width
    put32be(ihdr, kSide); // height
    ihdr.push_back(8);    // bit depth
    ihdr.push_back(2);    // colour type: truecolour
    ihdr.push_back(0);    // compression method
    ihdr.push_back(0);    // filter method
    ihdr.push_back(0);    // interlace method
    detail::appendChunk(png, "IHDR", ihdr);

    if (transparent) {
        // The key is a colour, not an index: the bottom-left pixel's, as in the transparent view.
        const Rgb key = picture.transparentKey();
        const std::array<std::uint8_t, 6> trns = {0, key.r, 0, key.g, 0, key.b};
        detail::appendChunk(png, "tRNS", trns);
    }

    detail::appendIdatChunks(png, deflateAll(detail::filteredRows(picture)));
    detail::appendChunk(png, "IEND", {});
    return png;
}

namespace {

void writePngFile(const std::string& path, const std::vector<std::uint8_t>& png)
{
    // Beside the old file and renamed over it once complete: a full disk keeps the icon that
    // was there.
    writeWholeFile(path, png);
}

} // namespace

void writeIconPng(const std::string& path, const IconPicture& picture, bool transparent)
{
    writePngFile(path, encodeIconPng(picture, transparent));
}

void writeAnimatedPng(const std::string& path, const std::vector<AnimationFrame>& frames)
{
    writePngFile(path, encodeAnimatedPng(frames));
}

std::string animatedIconName(const std::string& chosenName)
{
    return replaceExtension(chosenName, "-Animated.png");
}

namespace {

std::vector<std::uint8_t> rgbaHeader(const RgbaImage& image)
{
    std::vector<std::uint8_t> ihdr;
    put32be(ihdr, image.width);  // width
    put32be(ihdr, image.height); // height
    ihdr.push_back(8);           // bit depth
    ihdr.push_back(6);           // colour type: truecolour with alpha
    ihdr.push_back(0);           // compression method
    ihdr.push_back(0);           // filter method
    ihdr.push_back(0);           // interlace method
    return ihdr;
}

void requirePixels(const RgbaImage& image)
{
    if (image.width == 0 || image.height == 0 ||
        image.rgba.size() != 4 * std::size_t{image.width} * image.height)
        throw Error("The picture has no pixels");
}

} // namespace

std::vector<std::uint8_t> encodeRgbaPng(const RgbaImage& image)
{
    requirePixels(image);
    std::vector<std::uint8_t> png(kSignature.begin(), kSignature.end());
    detail::appendChunk(png, "IHDR", rgbaHeader(image));
    detail::appendIdatChunks(png, deflateAll(detail::filteredRgbaRows(image)));
    detail::appendChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> encodeRgbaAnimatedPng(const std::vector<RgbaFrame>& frames)
{
    if (frames.empty())
        throw Error("The animation has no frames");
    const RgbaImage& first = frames.front().image;
    for (const RgbaFrame& frame : frames) {
        requirePixels(frame.image);
        if (frame.image.width != first.width || frame.image.height != first.height)
            throw Error("The animation's frames differ in size");
    }
    std::vector<std::uint8_t> png(kSignature.begin(), kSignature.end());
    detail::appendChunk(png, "IHDR", rgbaHeader(first));

    std::vector<std::uint8_t> actl;
    put32be(actl, static_cast<std::uint32_t>(frames.size())); // num_frames
    put32be(actl, 0);                                         // num_plays: forever
    detail::appendChunk(png, "acTL", actl);

    // fcTL and fdAT share one sequence counter, starting at 0.
    std::uint32_t sequence = 0;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        std::vector<std::uint8_t> fctl;
        put32be(fctl, sequence++);
        put32be(fctl, first.width);  // width
        put32be(fctl, first.height); // height
        put32be(fctl, 0);            // x offset
        put32be(fctl, 0);            // y offset
        const std::uint16_t num = frames[f].delayNumerator;
        const std::uint16_t den = frames[f].delayDenominator;
        fctl.push_back(static_cast<std::uint8_t>(num >> 8)); // delay numerator
        fctl.push_back(static_cast<std::uint8_t>(num));
        fctl.push_back(static_cast<std::uint8_t>(den >> 8)); // delay denominator
        fctl.push_back(static_cast<std::uint8_t>(den));
        fctl.push_back(0); // dispose: none
        fctl.push_back(0); // blend: source
        detail::appendChunk(png, "fcTL", fctl);

        const std::vector<std::uint8_t> stream =
            deflateAll(detail::filteredRgbaRows(frames[f].image));
        if (f == 0) {
            detail::appendIdatChunks(png, stream);
            continue;
        }
        // Each fdAT carries a sequence number before its piece of the stream.
        const std::span<const std::uint8_t> rest(stream);
        constexpr std::size_t kPiece = detail::kMaxIdatData - 4;
        std::size_t at = 0;
        do { // bounded by the stream's length
            const std::size_t n = std::min(kPiece, rest.size() - at);
            std::vector<std::uint8_t> fdat;
            put32be(fdat, sequence++);
            fdat.insert(fdat.end(), rest.begin() + static_cast<std::ptrdiff_t>(at),
                        rest.begin() + static_cast<std::ptrdiff_t>(at + n));
            detail::appendChunk(png, "fdAT", fdat);
            at += n;
        } while (at < rest.size());
    }
    detail::appendChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> encodeAnimatedPng(const std::vector<AnimationFrame>& frames)
{
    if (frames.empty())
        throw Error("The icon is not animated");
    // The icon's frames are pictures like any other: index 0 clear, the delay in 1/60 s ticks.
    std::vector<RgbaFrame> pictures;
    pictures.reserve(frames.size());
    for (const AnimationFrame& frame : frames) {
        RgbaFrame out;
        out.image = RgbaImage(kSide, kSide);
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                const Rgb c = frame.picture.at(x, y);
                std::uint8_t* px =
                    out.image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
                px[0] = c.r;
                px[1] = c.g;
                px[2] = c.b;
                px[3] = frame.isClear(x, y) ? 0 : 255;
            }
        }
        out.delayNumerator = static_cast<std::uint16_t>(std::clamp(frame.ticks, 1, 255));
        out.delayDenominator = 60;
        pictures.push_back(std::move(out));
    }
    return encodeRgbaAnimatedPng(pictures);
}

std::vector<std::string> exportIcon(const std::string& chosenName, const IconPicture& picture,
                                    bool hasTransparency)
{
    std::vector<std::string> written;
    if (hasTransparency) {
        // The chosen name itself is not written; a failure on the first file stops before the
        // second.
        const std::string trans = replaceExtension(chosenName, "-Trans.png");
        writeIconPng(trans, picture, true);
        written.push_back(trans);
        const std::string noTrans = replaceExtension(chosenName, "-NoTrans.png");
        writeIconPng(noTrans, picture, false);
        written.push_back(noTrans);
    } else {
        const std::string plain = replaceExtension(chosenName, ".png");
        writeIconPng(plain, picture, false);
        written.push_back(plain);
    }
    return written;
}

} // namespace cartscope::core
