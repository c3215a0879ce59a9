// The banner block read from the first bytes of the input (a short input reads as zeros past
// its end): palette, icon, the six titles, and the PNG of the icon (with its transparent colour
// for inputs of odd length), which must inflate back to 32 filtered rows.
#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "core/banner/banner.h"
#include "core/banner/banner_record.h"
#include "core/banner/png.h"
#include "core/io/stream.h"

namespace {

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

// Walks the chunks (each length checked against what is left), joins the IDAT data and inflates
// it; true when it gives exactly 32 rows of filter byte 1 and 96 bytes.
bool inflatesToIcon(const std::vector<std::uint8_t>& png, bool wantTrns)
{
    static std::vector<std::uint8_t> idat;
    idat.clear();
    bool sawTrns = false;
    std::size_t at = 8;
    // Bounded by the PNG's size: each chunk moves at least 12 bytes on.
    while (at + 12 <= png.size()) {
        const std::uint32_t length = be32(&png[at]);
        if (length > png.size() - at - 12)
            return false;
        const char* type = reinterpret_cast<const char*>(&png[at + 4]);
        if (std::memcmp(type, "IDAT", 4) == 0)
            idat.insert(idat.end(), png.begin() + at + 8, png.begin() + at + 8 + length);
        if (std::memcmp(type, "tRNS", 4) == 0)
            sawTrns = true;
        at += 12 + length;
    }
    if (at != png.size() || sawTrns != wantTrns)
        return false;
    std::uint8_t rows[32 * 97 + 1];
    uLongf rowsSize = sizeof rows;
    if (uncompress(rows, &rowsSize, idat.data(), idat.size()) != Z_OK || rowsSize != 32 * 97)
        return false;
    for (std::size_t y = 0; y < 32; ++y)
        if (rows[y * 97] != 1)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    MemoryStream stream({data, size});
    static BannerRecord record;
    PopulateNDSBanner(stream, record, 0);
    const TNDSBanner& banner = record.original;
    const IconPicture& picture = record.icon;
    for (int slot = 0; slot < 6; ++slot) {
        const std::u16string title = titleText(banner, slot);
        if (title.size() > 256 || title.find(u'\0') != std::u16string::npos)
            __builtin_trap();
    }
    // One PNG per input (the encoder dominates the cost): with tRNS for inputs of odd length.
    const bool withTrns = size & 1;
    if (!inflatesToIcon(encodeIconPng(picture, withTrns), withTrns))
        __builtin_trap();
    return 0;
}
