#include "core/hex.h"

#include "core/error.h"

namespace cartscope::core {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
} // namespace

std::string hex2(std::uint8_t v)
{
    return {kHexDigits[v >> 4], kHexDigits[v & 0x0F]};
}

std::string hexLE(std::span<const std::uint8_t> bytes)
{
    std::string s;
    s.reserve(bytes.size() * 2);
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it)
        s += hex2(*it);
    return s;
}

std::string hex8(std::uint32_t v)
{
    std::string s(8, '0');
    for (int i = 7; i >= 0; --i, v >>= 4)
        s[static_cast<std::size_t>(i)] = kHexDigits[v & 0x0F];
    return s;
}

std::uint32_t parseHex32(const std::string& text)
{
    const auto invalid = [&] { return Error("'$" + text + "' is not a valid integer value"); };
    if (text.empty() || text.size() > 8)
        throw invalid();
    std::uint32_t v = 0;
    for (char c : text) {
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else
            throw invalid();
        v = (v << 4) | digit;
    }
    return v;
}

} // namespace cartscope::core
