// The 7z header reader and its checks over arbitrary bytes: whatever the header declares, it is
// refused with the user's error or read into records whose counts the bytes could hold, and the
// checks never pass a block whose dictionary is past its limit.
#include <cstdint>

#include "archive/sevenz_header.h"
#include "core/base/error.h"
#include "core/io/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope;
    const core::MemoryStream file({data, size});
    try {
        const archive::SevenZipHeader header = archive::readSevenZipHeader(file, "x.7z");
        // A header never lists more files than its bits could name, however it was encoded.
        if (header.files.size() > 8 * archive::kMaxSevenZipHeaderSize)
            __builtin_trap();
        archive::checkSevenZip(
            header, [](const archive::SevenZipFile&) { return true; }, "x.7z");
        for (const archive::SevenZipFolder& f : header.folders)
            if (f.dictionary > archive::dictionaryLimit(f.unpackSize))
                __builtin_trap();
        for (const archive::SevenZipFile& f : header.files)
            if (f.hasStream && (f.folder >= header.folders.size() ||
                                f.skip > header.folders[f.folder].unpackSize ||
                                f.size > header.folders[f.folder].unpackSize - f.skip))
                __builtin_trap();
    } catch (const core::Error&) {
    }
    return 0;
}
