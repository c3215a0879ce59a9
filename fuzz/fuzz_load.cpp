// The whole load of an image from bytes: header, banner, file-name table, display values, list
// rows and the extraction plan. Images need 32 KiB before any table is read; fuzz_fnt and
// fuzz_banner cover the tables and the banner on small inputs.
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "core/error.h"
#include "core/hex.h"
#include "core/load.h"
#include "fuzz/plan_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    LoadedImage img;
    MemoryStream stream({data, size});
    try {
        analyseImage(stream, img);
    } catch (const Error&) {
        return 0; // short image: "Stream read error"
    }
    // The display values still take the image by path: the same bytes through a memory file.
    static const int fd = memfd_create("fuzz_load", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, 0) == 0 &&
        pwrite(fd, data, size, 0) == static_cast<ssize_t>(size)) {
        static const std::string path = "/proc/self/fd/" + std::to_string(fd);
        try {
            computeDisplayValues(img.header, img.banner, path, img.display);
        } catch (const Error&) {
        }
    }
    img.rows = ParseArraysToList(img.files, img.dirs);
    cartscope::fuzz::checkPlan(fieldText(img.header.GameTitle), img.rows);
    return 0;
}
