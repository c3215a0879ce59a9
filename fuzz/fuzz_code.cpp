// Code compression: the input decoded as an overlay and as an ARM9 (RAM address 0x02000000);
// then compressed (its first bytes raw, as many as its first byte says times 64) and decoded
// again, which must give it back, also when decoded in place in one buffer the way the console
// does, never writing over input not yet read.
#include <cstdint>
#include <vector>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/code.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The console's in-place decode; traps when a write lands on input not yet read.
Bytes inPlace(const Bytes& file)
{
    const std::uint32_t footer = cartscope::core::le32(file, file.size() - 8);
    const std::size_t bottom = file.size() - (footer & 0xFFFFFF);
    Bytes b = file;
    b.resize(file.size() + cartscope::core::le32(file, file.size() - 4));
    std::size_t src = file.size() - (footer >> 24);
    std::size_t dst = b.size();
    while (src > bottom) {
        unsigned flags = b[--src];
        for (int i = 0; i < 8 && src > bottom; ++i, flags <<= 1) {
            if (flags & 0x80) {
                const unsigned hi = b[--src];
                const unsigned lo = b[--src];
                for (unsigned k = 0; k < (hi >> 4) + 3; ++k, --dst) {
                    if (dst - 1 < src)
                        __builtin_trap();
                    b[dst - 1] = b[dst - 1 + (((hi & 15) << 8) | lo) + 3];
                }
            } else {
                if (dst - 1 < src - 1)
                    __builtin_trap();
                const std::uint8_t v = b[--src];
                b[--dst] = v;
            }
        }
    }
    if (dst != bottom)
        __builtin_trap();
    return b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    const std::span<const std::uint8_t> in(data, size);
    try {
        (void)decompressCode(in, "f");
    } catch (const Error&) {
    }
    try {
        (void)decompressArm9(in, 0x02000000, "f");
    } catch (const Error&) {
    }
    CodeOptions options;
    options.rawPrefix = size > 0 ? data[0] * std::size_t{64} : 0;
    const auto packed = compressCode(in, options);
    if (packed) {
        const Bytes plain(in.begin(), in.end());
        if (decompressCode(*packed, "f") != plain || inPlace(*packed) != plain)
            __builtin_trap();
    }
    return 0;
}
