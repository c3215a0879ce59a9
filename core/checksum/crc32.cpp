#include "core/checksum/crc32.h"

#include <isa-l/crc.h>

namespace cartscope::core::crc32 {

std::uint32_t crc32Of(std::span<const std::uint8_t> bytes, std::uint32_t previous)
{
    // crc32_gzip_refl takes and returns the finished (complemented) value, like zlib's crc32:
    // 0 starts a new checksum and a previous result continues it.
    return crc32_gzip_refl(previous, bytes.data(), bytes.size());
}

} // namespace cartscope::core::crc32
