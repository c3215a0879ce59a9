// Huffman, 4-bit units (even first byte) and 8-bit: decoded, and the input round-tripped.
#include <cstdint>

#include "fuzz/stream_codec_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using cartscope::core::Codec;
    const bool nibbles = size > 0 && data[0] % 2 == 0;
    cartscope::fuzz::checkStreamCodec(nibbles ? Codec::Huffman4 : Codec::Huffman8,
                                      {static_cast<std::uint8_t>(nibbles ? 0x24 : 0x28)}, data,
                                      size);
    return 0;
}
