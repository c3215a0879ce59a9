#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/common.h"
#include "core/rebuild/output_file.h"

// What the commands that write an image share: OUT's rules (--force, --in-place) and the
// Ctrl-C check between blocks.
namespace cartscope::cli {

// Checks OUT against the input before anything is read: the overwrite rule for the commit.
core::Overwrite destinationFor(const Invocation& inv, const std::string& input,
                               const std::string& out);

// Throws Interrupted once Ctrl-C has been seen (the temporary file then goes with its owner).
core::Checkpoint interruptCheck();

// A patch or DAT-like side file read whole, refused past `limit` bytes.
std::vector<std::uint8_t> readSmallFile(const std::string& path, std::uint64_t limit,
                                        const char* what);

// The commands, one source file per pair.
const Command& trimCommand();
const Command& padCommand();
const Command& fixCommand();
const Command& diffCommand();
const Command& patchCommand();
const Command& replaceCommand();

} // namespace cartscope::cli
