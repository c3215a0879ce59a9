#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// BPS patches (the "BPS1" format): a header of source, target and metadata sizes, actions that
// read from the source at the same offset (SourceRead), carry new bytes (TargetRead), or copy
// from elsewhere in the source or from the target written so far (SourceCopy, TargetCopy), and
// a footer of the source's, the target's and the patch's own CRC-32.
namespace cartscope::core {

inline constexpr std::array<std::uint8_t, 4> kBpsMagic = {'B', 'P', 'S', '1'};

// The largest target built. Beyond the 4 GiB of any image, a target may be at most four times
// its source plus 64 times the patch plus 64 MiB: a few bytes of patch can ask for gigabytes of
// repeated bytes, and the target is built in memory.
std::uint64_t bpsTargetLimit(std::uint64_t sourceSize, std::uint64_t patchSize);

// The target the patch makes from `source`. Checks the patch's own CRC-32, the source's size
// and CRC-32, every action against the sizes (an action that runs past the target or reads
// outside the source or ahead of the target is refused) and the target's CRC-32; throws the
// reason. Memory grows as the target is written, never past bpsTargetLimit.
std::vector<std::uint8_t> applyBps(std::span<const std::uint8_t> patch, const Stream& source,
                                   const Checkpoint& checkpoint = {});

// Writes a patch that turns `source` into `target` to `out` (not committed): unchanged runs as
// SourceRead, runs found elsewhere in the source (a hash of every aligned block, at most 2 Mi
// blocks) as SourceCopy, repeated bytes as TargetCopy, the rest as TargetRead. Memory stays
// below 40 MiB whatever the sizes. Both must be at most 4 GiB.
void writeBps(const Stream& source, const Stream& target, OutputFile& out,
              const Checkpoint& checkpoint = {});

} // namespace cartscope::core
