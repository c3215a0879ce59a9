#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// IPS patches: "PATCH", records of a 24-bit offset and a 16-bit length with that many bytes (or,
// for length 0, a 16-bit count and one byte repeated), "EOF", and optionally a 24-bit size the
// result is cut to (the truncation extension). Offsets are 24-bit, so a patch reaches at most
// 16 MiB + 64 KiB into the file.
namespace cartscope::core {

inline constexpr std::array<std::uint8_t, 5> kIpsMagic = {'P', 'A', 'T', 'C', 'H'};
// The furthest a record can reach: the largest offset plus the largest length.
inline constexpr std::uint64_t kIpsReach = 0xFFFFFF + 0xFFFF;
// The largest IPS patch read: records may overwrite each other, but never this many times.
inline constexpr std::uint64_t kMaxIpsPatchSize = std::uint64_t{64} << 20;

struct IpsRecord {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    // The bytes' place in the patch, or the one repeated value.
    std::uint64_t dataAt = 0;
    std::optional<std::uint8_t> repeated;
};

struct IpsPatch {
    std::vector<IpsRecord> records; // in patch order: a later one writes over an earlier one
    std::optional<std::uint32_t> truncateTo;
};

// Reads every record; throws when the patch is not one, a record runs past the end of the
// patch, the end marker is missing, or anything but a 3-byte size follows it.
IpsPatch parseIps(std::span<const std::uint8_t> patch);

// The size of the patched image: the source grown to the furthest record, or the truncation
// size (which may only cut). Throws when the truncation size is past that.
std::uint64_t ipsResultSize(const IpsPatch& ips, std::uint64_t sourceSize);

// The patched image in memory (tests, fuzzing): at most kIpsReach bytes beyond the source.
std::vector<std::uint8_t> applyIps(std::span<const std::uint8_t> patch,
                                   std::span<const std::uint8_t> source);

// The patched image to `out` (not committed): the first bytes up to the furthest record are
// patched in memory (at most kIpsReach bytes), the rest copied from the source.
void writeIps(std::span<const std::uint8_t> patch, const Stream& source, OutputFile& out,
              const Checkpoint& checkpoint = {});

} // namespace cartscope::core
