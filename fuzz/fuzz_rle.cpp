// RLE: decoded, and the input round-tripped.
#include <cstdint>

#include "fuzz/stream_codec_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    cartscope::fuzz::checkStreamCodec(cartscope::core::Codec::Rle, {0x30}, data, size);
    return 0;
}
