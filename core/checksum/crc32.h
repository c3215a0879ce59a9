#pragma once

#include <cstdint>
#include <span>

// CRC-32 of ZIP and PNG (reflected EDB88320h, initial FFFFFFFFh, final complement).
namespace cartscope::core::crc32 {

// CRC-32 (finished value) of a buffer, accelerated; usable for PNG chunks too. `previous` is the
// finished CRC of the bytes before (0 to start), so a long input can be fed in pieces.
std::uint32_t crc32Of(std::span<const std::uint8_t> bytes, std::uint32_t previous = 0);

} // namespace cartscope::core::crc32
