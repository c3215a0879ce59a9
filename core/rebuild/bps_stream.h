#pragma once

#include <cstdint>
#include <span>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// What applying and making BPS patches share.
namespace cartscope::core::bps {

// The four actions, in the low two bits of an action's number.
enum Action : std::uint64_t { SourceRead = 0, TargetRead = 1, SourceCopy = 2, TargetCopy = 3 };

inline constexpr std::size_t kFooterSize = 12; // source, target and patch CRC-32
inline constexpr std::size_t kBlock = std::size_t{1} << 20;

// The CRC-32 of the whole stream, read a block at a time.
std::uint32_t crcOfStream(const Stream& stream, const Checkpoint& checkpoint);

// Exactly out.size() bytes from `at`; throws "Stream read error" for fewer.
void readExactAt(const Stream& stream, std::uint64_t at, std::span<std::uint8_t> out);

} // namespace cartscope::core::bps
