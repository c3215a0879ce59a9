#include "core/base/hex.h"

#include <algorithm>

namespace cartscope::core {

namespace {

const char* digitsFor(HexCase letters)
{
    return letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
}

} // namespace

void appendHex(std::string& out, std::uint64_t value, unsigned digits, HexCase letters)
{
    const char* const hex = digitsFor(letters);
    unsigned needed = 1;
    for (std::uint64_t rest = value >> 4; rest != 0; rest >>= 4)
        ++needed;
    out.append(std::max(needed, digits), '0');
    for (std::size_t k = out.size(); value != 0; value >>= 4)
        out[--k] = hex[value & 0x0F];
}

std::string hexText(std::uint64_t value, unsigned digits, HexCase letters)
{
    std::string s;
    appendHex(s, value, digits, letters);
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
