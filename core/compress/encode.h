#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/compress/compress.h"

// The stream encoders: the inverse of decompress() for each codec.
namespace cartscope::core {

struct EncodeOptions {
    // No back-reference at distance 1: the console's 16-bit decoder (used for VRAM, which takes
    // no byte writes) reads the byte before the one it is writing and gets stale data.
    bool vramSafe = true;
};

// The data compressed with `codec` (the header written as decompress() reads it: the 32-bit size
// form only when the size needs more than 24 bits, or for Huffman when `data` is empty). Throws
// Error when `data` is more than 64 MiB (no header can declare more).
std::vector<std::uint8_t> compress(Codec codec, std::span<const std::uint8_t> data,
                                   const EncodeOptions& options = {});

} // namespace cartscope::core
