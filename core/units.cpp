#include "core/units.h"

#include <cstdio>

namespace cartscope::core {

std::string humanBytes(std::uint64_t n)
{
    char buf[64];
    if (n >= (1ull << 30))
        std::snprintf(buf, sizeof buf, "%.1f GiB", static_cast<double>(n) / (1ull << 30));
    else if (n >= (1ull << 20))
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / (1ull << 20));
    else if (n >= 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(n));
    return buf;
}

} // namespace cartscope::core
