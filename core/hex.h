#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace cartscope::core {

// The one hex form numbers are shown in: upper-case digits, most significant first, padded
// with zeros to `digits` (a value that needs more digits keeps them all).
std::string hexText(std::uint64_t value, unsigned digits);

// The widths the header's fields use: a byte, a 16-bit and a 32-bit number.
inline std::string hex2(std::uint8_t v)
{
    return hexText(v, 2);
}
inline std::string hex4(std::uint16_t v)
{
    return hexText(v, 4);
}
inline std::string hex8(std::uint32_t v)
{
    return hexText(v, 8);
}

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
