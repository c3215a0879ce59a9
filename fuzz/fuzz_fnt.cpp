// The file-name table walk, the list rows and the extraction plan on small inputs (<= 4 KiB),
// without the 32 KiB header an image needs. Input layout:
//   0x00  FNT position in the input (u32 LE)
//   0x04  FAT position in the input (u32 LE)
//   0x08  internal name, 12 bytes, cut at the first NUL (as the header's game title)
//   0x14  anything: the tables the two positions point at
// The positions count from the start of the input, so the first 20 bytes are part of the
// "image" the walk may read.
#include <cstdint>
#include <string>
#include <vector>

#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/io/stream.h"
#include "fuzz/plan_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    if (size < 20)
        return 0;
    const auto u32 = [&](std::size_t at) {
        return std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
               std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24;
    };
    std::string internal;
    for (std::size_t k = 8; k < 20 && data[k] != 0; ++k)
        internal.push_back(static_cast<char>(data[k]));

    // Reused between inputs: the walk appends, so only the capacity carries over.
    static std::vector<TFileEntry> files;
    static std::vector<TDirEntry> dirs;
    files.clear();
    dirs.clear();
    MemoryStream stream({data, size});
    ParseFNT(stream, u32(0), u32(4), files, dirs);
    const auto rows = ParseArraysToList(files, dirs);
    // A file of a directory that has no path is not listed; nothing is listed twice.
    if (rows.size() > files.size())
        __builtin_trap();
    cartscope::fuzz::checkPlan(internal, rows);
    return 0;
}
