#pragma once

// The stream codecs' fuzz targets share this check: the input behind the codec's type byte is
// decoded through the window into a counting sink (a success makes exactly the declared size;
// a failure is the user's error, nothing else), then the input itself is compressed and
// decompressed again, which must give it back.
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/error.h"
#include "core/compress/compress.h"
#include "core/compress/encode.h"

namespace cartscope::fuzz {

inline void checkStreamCodec(core::Codec codec, std::vector<std::uint8_t> prefix,
                             const std::uint8_t* data, std::size_t size)
{
    using namespace cartscope::core;
    std::vector<std::uint8_t> in = std::move(prefix);
    in.insert(in.end(), data, data + size);
    try {
        const CompressionHeader h = readCompressionHeader(in, "f");
        std::uint64_t made = 0;
        decompressStream(in, "f", [&made](std::span<const std::uint8_t> c) { made += c.size(); });
        if (made != h.size)
            __builtin_trap();
    } catch (const Error&) {
    }
    // The trial decode never throws.
    (void)identifyCompression(in, in.size());

    const std::span<const std::uint8_t> plain(data, size);
    EncodeOptions options;
    options.vramSafe = size % 2 == 0;
    if (decompress(compress(codec, plain, options), "f") !=
        std::vector<std::uint8_t>(plain.begin(), plain.end()))
        __builtin_trap();
}

} // namespace cartscope::fuzz
