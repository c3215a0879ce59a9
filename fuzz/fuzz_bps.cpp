// BPS patches: the input is a source length byte, the source, then the patch without its
// footer; the footer is made here with the right source and patch CRC-32s (and a target CRC-32
// of zero), so the actions are reached rather than stopped at the checksums. Whatever the
// actions say, the result is refused with the user's error or has the size the patch declares,
// within the target limit.
#include <cstdint>
#include <vector>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/crc32.h"
#include "core/rebuild/bps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    if (size < 1)
        return 0;
    const std::size_t sourceSize = std::min<std::size_t>(data[0], size - 1);
    const std::span<const std::uint8_t> source(data + 1, sourceSize);
    std::vector<std::uint8_t> patch(data + 1 + sourceSize, data + size);
    std::array<std::uint8_t, 4> word{};
    putLe32(word, 0, crc32::crc32Of(source));
    patch.insert(patch.end(), word.begin(), word.end());
    patch.insert(patch.end(), 4, 0);
    putLe32(word, 0, crc32::crc32Of(patch));
    patch.insert(patch.end(), word.begin(), word.end());
    try {
        const std::vector<std::uint8_t> target = applyBps(patch, MemoryStream(source));
        if (target.size() > bpsTargetLimit(sourceSize, patch.size()))
            __builtin_trap();
    } catch (const Error&) {
    }
    return 0;
}
