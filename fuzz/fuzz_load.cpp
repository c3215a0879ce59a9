// The whole load of an image from bytes, as the front ends run it: analysis (header, banner,
// file-name table), the display values with the file CRC-32, the list rows and the extraction
// plan. Images need 32 KiB before any table is read; fuzz_fnt and fuzz_banner cover the tables
// and the banner on small inputs.
#include <cstdint>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/checksum/crc32.h"
#include "core/load.h"
#include "fuzz/plan_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    MemoryStream stream({data, size});
    LoadedImage img;
    try {
        img = loadImage(stream, {false, crc32::crc32Of({data, size})});
    } catch (const Error&) {
        return 0; // short image: "Stream read error"
    }
    if (valueText(img.display, "CRC32Edit").size() != 8)
        __builtin_trap();
    cartscope::fuzz::checkPlan(fieldText(img.header.ds.GameTitle), img.rows);
    return 0;
}
