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

// Its inverse, for the encoders: the value's bytes at `at`, low byte first.
inline void putLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void putLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v)
{
    putLe16(b, at, static_cast<std::uint16_t>(v));
    putLe16(b, at + 2, static_cast<std::uint16_t>(v >> 16));
}

inline void putLe64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v)
{
    putLe32(b, at, static_cast<std::uint32_t>(v));
    putLe32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

} // namespace cartscope::core
