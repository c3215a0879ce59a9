#include "core/hex.h"

namespace cartscope::core {

namespace {

const char* digitsFor(HexCase letters)
{
    return letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
}

} // namespace

std::string hexText(std::uint64_t value, unsigned digits, HexCase letters)
{
    const char* const hex = digitsFor(letters);
    unsigned needed = 1;
    for (std::uint64_t rest = value >> 4; rest != 0; rest >>= 4)
        ++needed;
    std::string s(std::max(needed, digits), '0');
    for (auto it = s.rbegin(); value != 0; ++it, value >>= 4)
        *it = hex[value & 0x0F];
    return s;
}

std::string hexBytes(std::span<const std::uint8_t> bytes, HexCase letters)
{
    const char* const hex = digitsFor(letters);
    std::string s;
    s.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        s.push_back(hex[b >> 4]);
        s.push_back(hex[b & 0x0F]);
    }
    return s;
}

} // namespace cartscope::core
