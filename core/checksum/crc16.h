#pragma once

#include <cstdint>
#include <span>
#include <string>

// CRC-16/MODBUS (reflected polynomial A001h, initial FFFFh, no final xor), as the cartridge
// header uses for its logo, header and secure-area checksums.
namespace cartscope::core::crc16 {

void Crc16Update(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc);
// CRC-16 of a buffer, from FFFFh. (Despite its name it reads no stream: callers hand it the
// bytes they already hold.)
std::uint16_t Crc16OfStream(std::span<const std::uint8_t> buffer);

} // namespace cartscope::core::crc16
