// IPS patches: whatever the records say, the result is refused with the user's error or is no
// larger than the source grown by the furthest record the format can reach.
#include <cstdint>
#include <vector>

#include "core/base/error.h"
#include "core/rebuild/ips.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    static const std::vector<std::uint8_t> source(0x1000, 0x5A);
    try {
        const std::vector<std::uint8_t> out = applyIps({data, size}, source);
        if (out.size() > std::max<std::uint64_t>(source.size(), kIpsReach))
            __builtin_trap();
    } catch (const Error&) {
    }
    return 0;
}
