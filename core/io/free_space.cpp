#include "core/io/free_space.h"

#include <limits>
#include <sys/statvfs.h>

namespace cartscope::core {

namespace {

// A file system reporting absurd counts saturates instead of wrapping to a small number.
std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b)
{
    if (b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b)
        return std::numeric_limits<std::uint64_t>::max();
    return a * b;
}

} // namespace

std::optional<std::uint64_t> freeBytes(const std::string& folder)
{
    const std::optional<Room> room = roomAt(folder);
    if (!room)
        return std::nullopt;
    return room->freeBytes;
}

std::optional<Room> roomAt(const std::string& folder)
{
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0)
        return std::nullopt;
    Room room;
    const auto blockSize = static_cast<std::uint64_t>(vfs.f_frsize);
    room.blockSize = blockSize ? blockSize : 1;
    room.freeBytes = saturatingProduct(static_cast<std::uint64_t>(vfs.f_bavail), blockSize);
    if (vfs.f_files > 0)
        room.freeInodes = static_cast<std::uint64_t>(vfs.f_favail);
    return room;
}

} // namespace cartscope::core
