#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/banner/banner.h"
#include "core/banner/banner_info.h"

namespace cartscope::core {

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

// The 32 filtered rows of one animation frame: filter type 1 (Sub) and 128 bytes of R G B A
// differences each.
std::vector<std::uint8_t> filteredRgbaRows(const AnimationFrame& frame);

// The 32 filtered rows: filter type 1 (Sub) and 96 bytes of R G B differences each.
std::vector<std::uint8_t> filteredRows(const IconPicture& picture);

} // namespace detail

} // namespace cartscope::core
