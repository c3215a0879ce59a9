#pragma once

#include <cstdint>
#include <span>
#include <string>

// CRC-16/MODBUS (reflected polynomial A001h, initial FFFFh, no final xor), as the cartridge
// header uses for its logo, header and secure-area checksums.
namespace cartscope::core::crc16 {

void Crc16Update(const std::uint8_t* data, std::uint16_t count, std::uint16_t& crc);
// CRC-16 text (four upper-case hex digits) of a buffer of at most 65535 bytes, from FFFFh.
std::string Crc16OfStream(std::span<const std::uint8_t> buffer);
std::string PadHex4(const std::string& text);

} // namespace cartscope::core::crc16
