// Logiqx DAT parsing over arbitrary bytes: either the DAT is refused with a message and nothing
// is added, or every entry it added is found again through the indexes that carry it.
#include <algorithm>
#include <cstdint>
#include <span>

#include "core/base/error.h"
#include "core/verify/dat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    DatSet set;
    try {
        set.add("fuzz.dat", std::span(reinterpret_cast<const char*>(data), size));
    } catch (const Error&) {
        if (!set.empty() || !set.roms().empty())
            __builtin_trap(); // a refused DAT adds nothing
        return 0;
    }
    const auto contains = [](std::span<const std::uint32_t> v, std::uint32_t k) {
        return std::find(v.begin(), v.end(), k) != v.end();
    };
    const DatRoms roms = set.roms();
    for (std::uint32_t k = 0; k < roms.size(); ++k) {
        const DatRom r = roms[k];
        if (r.dat >= set.dats().size())
            __builtin_trap();
        for (const DigestKind kind : kDigestKinds)
            if (r.has(kind) && !contains(set.byDigest(kind, r.digest(kind)), k))
                __builtin_trap();
        if (r.size && r.size > kMaxDatRomSize)
            __builtin_trap();
        if (r.size && !contains(set.bySize(*r.size), k))
            __builtin_trap();
        if (r.size && r.crc32 && !contains(set.bySizeCrc(*r.size, *r.crc32), k))
            __builtin_trap();
    }
    if (!std::is_sorted(set.sizes().begin(), set.sizes().end()) ||
        std::adjacent_find(set.sizes().begin(), set.sizes().end()) != set.sizes().end())
        __builtin_trap();
    return 0;
}
