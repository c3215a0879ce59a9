#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

// CRC-32 of ZIP and PNG (reflected EDB88320h, initial FFFFFFFFh, final complement).
namespace cartscope::core::crc32 {

// The reference byte-at-a-time routines; FileCrc32 streams through a hardware-accelerated
// implementation that the tests compare against these.
//
// The table: entry i is the reflected CRC of i under EDB88320h. It is computed once at compile
// time instead of being rebuilt before every file: the entries are the same, and callers on
// different threads then share a table nobody writes.
const std::array<std::uint32_t, 256>& BuildCrc32Table();
std::uint32_t Crc32Update(std::uint8_t byte, std::uint32_t crc);

// CRC-32 (finished value) of a buffer, accelerated; usable for PNG chunks too. `previous` is the
// finished CRC of the bytes before (0 to start), so a long input can be fed in pieces.
std::uint32_t crc32Of(std::span<const std::uint8_t> bytes, std::uint32_t previous = 0);

// CRC-32 of the whole file at path, streamed in 1 MiB blocks. Refuses
// anything that is not a regular file before reading. Throws the open/read failure text.
std::uint32_t FileCrc32(const std::string& path);

// The reference whole-file routine: 256-byte reads through the table (tests and benchmarks).
std::uint32_t FileCrc32Reference(const std::string& path);

} // namespace cartscope::core::crc32
