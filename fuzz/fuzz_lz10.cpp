// LZ10, also behind the "LZ77" tag (odd first byte): decoded, and the input round-tripped.
#include <cstdint>

#include "fuzz/stream_codec_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using cartscope::core::Codec;
    const bool tagged = size > 0 && (data[0] & 1);
    cartscope::fuzz::checkStreamCodec(tagged ? Codec::Lz77Lz10 : Codec::Lz10,
                                      tagged ? std::vector<std::uint8_t>{'L', 'Z', '7', '7', 0x10}
                                             : std::vector<std::uint8_t>{0x10},
                                      data, size);
    return 0;
}
