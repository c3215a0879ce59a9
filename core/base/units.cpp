#include "core/base/units.h"

#include <array>
#include <charconv>

namespace cartscope::core {

namespace {
// One decimal, always with a point: std::to_chars ignores the locale, where printf's "%.1f"
// would write "1,5" in the window of a German user while the command line writes "1.5".
std::string oneDecimal(double value, const char* unit)
{
    std::array<char, 64> buf{};
    const auto result =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 1);
    return std::string(buf.data(), result.ptr) + unit;
}
} // namespace

std::string humanBytes(std::uint64_t n)
{
    if (n >= (1ull << 30))
        return oneDecimal(static_cast<double>(n) / (1ull << 30), " GiB");
    if (n >= (1ull << 20))
        return oneDecimal(static_cast<double>(n) / (1ull << 20), " MiB");
    if (n >= 1024)
        return oneDecimal(static_cast<double>(n) / 1024, " KiB");
    return std::to_string(n) + " bytes";
}

} // namespace cartscope::core
