#pragma once

#include <cstdint>
#include <span>

#include "core/io/read_pass.h"

namespace cartscope::core {

// The finished CRC-32 (ZIP/PNG form) of everything consumed.
class Crc32Sink final : public ReadSink {
public:
    void consume(std::span<const std::uint8_t> block, std::uint64_t position) override;
    std::uint32_t value() const { return m_crc; }

private:
    std::uint32_t m_crc = 0;
};

} // namespace cartscope::core
