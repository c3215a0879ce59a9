#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The Huffman encoder behind compress(): the header, the tree table and the code words the
// stream decoder reads (see decodeHuffman in stream_decode.cpp).
namespace cartscope::core::detail {

// `data` in units of `bits` (4 or 8) as type 0x24 or 0x28. At most 64 MiB (checked by the
// caller).
std::vector<std::uint8_t> compressHuffman(std::span<const std::uint8_t> data, unsigned bits);

} // namespace cartscope::core::detail
