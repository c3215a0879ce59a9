#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/banner.h"

namespace cartscope::core {

// The icon as a 32x32 8-bit truecolour PNG: IHDR, tRNS (bottom-left pixel's colour) only when
// `transparent`, IDAT pieces of at most 65535 bytes of one zlib stream (level 7, window bits
// 15, memory level 8, default strategy; Sub filter on every row), IEND.
std::vector<std::uint8_t> encodeIconPng(const IconPicture& picture, bool transparent);

// Creates or replaces `path` with the PNG; throws "Cannot create file "%s". %s" or
// "Stream write error".
void writeIconPng(const std::string& path, const IconPicture& picture, bool transparent);

// The export rule: with transparency two files, chosen name with its extension replaced by
// "-Trans.png" (with tRNS) and "-NoTrans.png"; otherwise one file, extension ".png". Returns
// the paths written, in order of writing.
std::vector<std::string> exportIcon(const std::string& chosenName, const IconPicture& picture,
                                    bool hasTransparency);

} // namespace cartscope::core
