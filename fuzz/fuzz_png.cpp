// The PNG export of whatever icon the bytes decode to: 512 icon bytes, 32 palette bytes, then
// one byte choosing transparency.
#include <cstdint>
#include <cstring>

#include <zlib.h>

#include "core/banner.h"
#include "core/png.h"
#include "core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    std::uint8_t block[0x840] = {};
    std::memcpy(block + 0x20, data, size < 0x220 ? size : 0x220);
    MemoryStream stream({block, sizeof block});
    TNDSBanner banner;
    IconPicture picture;
    bool transparency = false;
    PopulateNDSBanner(stream, banner, 0, picture, transparency);
    const bool withTrns = size > 0x220 ? (data[0x220] & 1) : transparency;
    const auto png = encodeIconPng(picture, withTrns);
    // The image data must inflate back to 32 rows of 1 + 96 bytes.
    if (png.size() < 8 + 25 + 12 || std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8) != 0)
        __builtin_trap();
    return 0;
}
