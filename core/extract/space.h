#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/extract/extract.h"
#include "core/io/free_space.h"

// Room for a whole-tree extraction: what the plan writes against what the destination holds.
// The window asks before a run that does not fit, the command line refuses it unless forced;
// both measure and word it here.
namespace cartscope::core {

// What a plan takes on a file system with that block size: only rows the run does not refuse and
// whose range lies inside the image are written (the others fail without creating anything), each
// file takes whole blocks, and each file and each folder one inode.
struct Needs {
    std::uint64_t bytes = 0;
    std::uint64_t inodes = 0;
};
Needs neededRoom(const std::vector<PlannedFile>& plan, std::uint64_t imageSize,
                 std::uint64_t blockSize);

// The user's text when the plan does not fit (std::nullopt when it does); each program adds
// how to go on.
std::optional<std::string> shortOfRoom(const Needs& needs, const Room& room,
                                       const std::string& folder);

// "The files to extract need %s but only %s is free in "%s"", sizes by humanBytes.
std::string notEnoughSpaceText(std::uint64_t needed, std::uint64_t free, const std::string& folder);

} // namespace cartscope::core
