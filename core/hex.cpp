#include "core/hex.h"

namespace cartscope::core {

std::string hexText(std::uint64_t value, unsigned digits)
{
    constexpr char kHexDigits[] = "0123456789ABCDEF";
    unsigned needed = 1;
    for (std::uint64_t rest = value >> 4; rest != 0; rest >>= 4)
        ++needed;
    std::string s(std::max(needed, digits), '0');
    for (auto it = s.rbegin(); value != 0; ++it, value >>= 4)
        *it = kHexDigits[value & 0x0F];
    return s;
}

} // namespace cartscope::core
