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

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigitValue(text[i]);
        const int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

} // namespace cartscope::core
