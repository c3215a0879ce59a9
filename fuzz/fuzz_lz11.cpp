// LZ11 (every length form, both size forms): decoded, and the input round-tripped.
#include <cstdint>

#include "fuzz/stream_codec_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    cartscope::fuzz::checkStreamCodec(cartscope::core::Codec::Lz11, {0x11}, data, size);
    return 0;
}
