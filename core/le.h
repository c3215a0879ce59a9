#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace cartscope::core {

// The one little-endian reader: values are built from bytes with shifts, never by casting a
// struct over file bytes. Callers hand spans of the exact width; a short span is a logic error.
inline std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at = 0)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at = 0)
{
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::uint64_t le64(std::span<const std::uint8_t> b, std::size_t at = 0)
{
    return static_cast<std::uint64_t>(le32(b, at)) |
           (static_cast<std::uint64_t>(le32(b, at + 4)) << 32);
}

} // namespace cartscope::core
