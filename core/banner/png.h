#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/banner/banner.h"
#include "core/banner/banner_info.h"

namespace cartscope::core {

// A picture of any size, 8 bits per channel: R G B A per pixel, rows top to bottom. A pixel with
// alpha 0 is drawn clear.
struct RgbaImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba; // 4 * width * height bytes

    RgbaImage() = default;
    RgbaImage(std::uint32_t w, std::uint32_t h)
        : width(w), height(h), rgba(std::size_t{4} * w * h, 0)
    {}
    std::uint8_t* at(std::uint32_t x, std::uint32_t y)
    {
        return rgba.data() + 4 * (std::size_t{y} * width + x);
    }
    const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const
    {
        return rgba.data() + 4 * (std::size_t{y} * width + x);
    }
};

// One frame of an animated picture, shown for numerator/denominator seconds.
struct RgbaFrame {
    RgbaImage image;
    std::uint16_t delayNumerator = 1;
    std::uint16_t delayDenominator = 60;
};

// A picture as an 8-bit RGBA PNG (colour type 6): IHDR, IDAT pieces of one zlib stream (the
// same settings as the icon's, Sub filter on every row), IEND. Throws when it has no pixel.
std::vector<std::uint8_t> encodeRgbaPng(const RgbaImage& image);

// Frames of one size as an animated PNG: IHDR (the first frame's size, RGBA), acTL (played
// forever), per frame an fcTL (full size at 0,0, its delay, no disposal, source blending) and
// its stream, IDAT for the first frame and fdAT for the others, IEND. Viewers without APNG
// support show the first frame. Throws when there is no frame, a frame has no pixel or the
// sizes differ.
std::vector<std::uint8_t> encodeRgbaAnimatedPng(const std::vector<RgbaFrame>& frames);

// The icon as a 32x32 8-bit truecolour PNG: IHDR, tRNS (bottom-left pixel's colour) only when
// `transparent`, IDAT pieces of at most 65535 bytes of one zlib stream (level 7, window bits
// 15, memory level 8, default strategy; Sub filter on every row), IEND.
std::vector<std::uint8_t> encodeIconPng(const IconPicture& picture, bool transparent);

// Creates or replaces `path` with the PNG, whole (writeWholeFile): throws "Cannot create file
// "%s". %s" or "Cannot write file "%s". %s", and a failure leaves the previous file as it was.
void writeIconPng(const std::string& path, const IconPicture& picture, bool transparent);

// The export rule: with transparency two files, chosen name with its extension replaced by
// "-Trans.png" (with tRNS) and "-NoTrans.png"; otherwise one file, extension ".png". Returns
// the paths written, in order of writing.
std::vector<std::string> exportIcon(const std::string& chosenName, const IconPicture& picture,
                                    bool hasTransparency);

// The animated icon as an animated PNG: IHDR (32x32, 8-bit RGBA), acTL (one frame per
// sequence token, played forever), then per frame an fcTL (full size, at 0,0, delay
// ticks/60 s, no disposal, source blending so a clear pixel never shows the frame before)
// followed by IDAT pieces for the first frame and fdAT pieces for the others, IEND. Index 0 of
// each frame's palette has alpha 0. Viewers without APNG support show the first frame.
// Throws when there is no frame.
std::vector<std::uint8_t> encodeAnimatedPng(const std::vector<AnimationFrame>& frames);

// Creates or replaces `path` with the animated PNG (same failures as writeIconPng).
void writeAnimatedPng(const std::string& path, const std::vector<AnimationFrame>& frames);

// The animated icon's file name: the chosen name with its extension replaced by
// "-Animated.png".
std::string animatedIconName(const std::string& chosenName);

namespace detail {

// Largest data length of one IDAT chunk.
inline constexpr std::size_t kMaxIdatData = 65535;

// Appends one chunk: big-endian data length, type, data, CRC-32 over type and data.
void appendChunk(std::vector<std::uint8_t>& out, const char (&type)[5],
                 std::span<const std::uint8_t> data);

// Appends `zlibStream` as consecutive IDAT chunks of kMaxIdatData bytes, the last holding the
// rest (at least one byte; an empty stream still gets one empty IDAT).
void appendIdatChunks(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> zlibStream);

// The filtered rows of a picture: per row filter type 1 (Sub) and 4 * width bytes of R G B A
// differences.
std::vector<std::uint8_t> filteredRgbaRows(const RgbaImage& image);

// The 32 filtered rows: filter type 1 (Sub) and 96 bytes of R G B differences each.
std::vector<std::uint8_t> filteredRows(const IconPicture& picture);

} // namespace detail

} // namespace cartscope::core
