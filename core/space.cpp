#include "core/space.h"

#include <limits>
#include <sys/statvfs.h>

#include "core/units.h"

namespace cartscope::core {

std::uint64_t plannedBytes(const std::vector<PlannedFile>& plan)
{
    std::uint64_t total = 0;
    for (const PlannedFile& f : plan)
        total += f.size > 0 ? static_cast<std::uint64_t>(f.size) : 0;
    return total;
}

std::optional<std::uint64_t> freeBytes(const std::string& folder)
{
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0)
        return std::nullopt;
    const auto blocks = static_cast<std::uint64_t>(vfs.f_bavail);
    const auto blockSize = static_cast<std::uint64_t>(vfs.f_frsize);
    // A file system reporting absurd counts saturates instead of wrapping to a small number.
    if (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize)
        return std::numeric_limits<std::uint64_t>::max();
    return blocks * blockSize;
}

std::string notEnoughSpaceText(std::uint64_t needed, std::uint64_t free, const std::string& folder)
{
    return "The files to extract need " + humanBytes(needed) + " but only " + humanBytes(free) +
           " is free in \"" + folder + "\"";
}

} // namespace cartscope::core
