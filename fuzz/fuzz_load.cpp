// The whole load of an image from bytes: header, banner, file-name table, display values and
// list rows. The file CRC-32 reads the same bytes through a memory file.
#include <cstdint>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

#include "core/error.h"
#include "core/load.h"

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
    static const int fd = memfd_create("fuzz_load", 0);
    if (fd >= 0 && ftruncate(fd, 0) == 0 &&
        pwrite(fd, data, size, 0) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        try {
            computeDisplayValues(img.header, img.banner, path, img.display);
        } catch (const Error&) {
        }
    }
    // A directory whose parent is missing yields a path without the leading "/": rows are not
    // assumed to be rooted anywhere downstream.
    img.rows = ParseArraysToList(img.files, img.dirs);
    return 0;
}
