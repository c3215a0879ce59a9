#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cartscope::core {

enum class HexCase { Upper, Lower };

// The one hex form numbers are shown in: digits (upper case unless asked), most significant
// first, padded with zeros to `digits` (a value that needs more digits keeps them all).
std::string hexText(std::uint64_t value, unsigned digits, HexCase letters = HexCase::Upper);
// The same digits appended to `out`.
void appendHex(std::string& out, std::uint64_t value, unsigned digits,
               HexCase letters = HexCase::Upper);

// Bytes in the order they lie, two digits each: raw fields, path bytes, digest values.
std::string hexBytes(std::span<const std::uint8_t> bytes, HexCase letters = HexCase::Upper);

// The value of one hex digit of either case; -1 for any other character.
int hexDigitValue(char c);

// Bytes from their hex digits (either case, two per byte); nothing for an odd count or a
// character that is not a hex digit.
std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text);

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

// The bytes of a string or character field, as hexBytes takes them.
template <class Chars> std::span<const std::uint8_t> charBytes(const Chars& chars)
{
    return {reinterpret_cast<const std::uint8_t*>(chars.data()), chars.size()};
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
