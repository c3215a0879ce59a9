// NARC archives and system files: whatever the bytes say, every member or system file offered
// for extraction (no problem) lies inside the input, and nothing throws but the user's error.
#include <cstdint>

#include "core/base/error.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    const MemoryStream stream({data, size});
    for (const SystemFile& f : systemFiles(stream, decodeHeader(RawHeader::read(stream)))) {
        if (f.problem.empty() && f.size > 0 && (f.offset > size || f.size > size - f.offset))
            __builtin_trap();
    }
    try {
        const Narc narc = readNarc(stream, 0, size, "/f.narc");
        for (const NarcMember& m : narc.members) {
            if (m.problem.empty() && (m.offset > size || m.size > size - m.offset))
                __builtin_trap();
        }
        narcRows(narc);
    } catch (const Error&) {
    }
    return 0;
}
