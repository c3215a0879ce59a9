#include "core/checksum/crc32_sink.h"

#include "core/checksum/crc32.h"

namespace cartscope::core {

void Crc32Sink::consume(std::span<const std::uint8_t> block, std::uint64_t)
{
    m_crc = crc32::crc32Of(block, m_crc);
}

} // namespace cartscope::core
