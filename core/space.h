#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/extract.h"

// Room for a whole-tree extraction: what the plan writes against what the destination holds.
// The window asks before a run that does not fit, the command line refuses it unless forced;
// both measure and word it here.
namespace cartscope::core {

// The bytes a plan writes: the sum of its positive sizes. A row is at most 2 GiB and a list at
// most some 70,000 rows, so the sum cannot overflow 64 bits.
std::uint64_t plannedBytes(const std::vector<PlannedFile>& plan);

// Free bytes available to this user in the file system that holds `folder`
// (statvfs: f_bavail × f_frsize); std::nullopt when the system cannot tell.
std::optional<std::uint64_t> freeBytes(const std::string& folder);

// "The files to extract need %s but only %s is free in "%s"", sizes by humanBytes; each
// program adds how to go on.
std::string notEnoughSpaceText(std::uint64_t needed, std::uint64_t free, const std::string& folder);

} // namespace cartscope::core
