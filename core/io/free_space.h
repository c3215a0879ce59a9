#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the file system holding a folder has left for this user.
namespace cartscope::core {

// Free bytes available to this user in the file system that holds `folder`
// (statvfs: f_bavail × f_frsize); std::nullopt when the system cannot tell.
std::optional<std::uint64_t> freeBytes(const std::string& folder);

// What a file system has left for this user: bytes, its allocation unit, and the files and
// folders that can still be made when it counts them (FAT, exFAT and btrfs report no inode
// count: no limit then).
struct Room {
    std::uint64_t freeBytes = 0;
    std::uint64_t blockSize = 1;
    std::optional<std::uint64_t> freeInodes;
};
std::optional<Room> roomAt(const std::string& folder);

} // namespace cartscope::core
