#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace cartscope::core {

// A little-endian field as hex text: bytes taken from the last to the first, two upper-case
// digits each, so the number reads most significant digit first with leading zeros kept.
std::string hexLE(std::span<const std::uint8_t> bytes);
std::string hex2(std::uint8_t v);
std::string hex8(std::uint32_t v);

// Parses hex digits (either case) into an unsigned 32-bit value; throws
// "'%s' is not a valid integer value" (with "$" + text) when the text is not 1 to 8 hex digits.
std::uint32_t parseHex32(const std::string& text);

// Text of a fixed-width character field up to its first NUL.
template <std::size_t N> std::string fieldText(const std::array<char, N>& field)
{
    std::string s;
    for (char c : field) {
        if (c == '\0')
            break;
        s.push_back(c);
    }
    return s;
}

} // namespace cartscope::core
