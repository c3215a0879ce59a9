#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/organise_plan.h"
#include "archive/torrentzip.h"
#include "core/verify/dat.h"
#include "core/verify/verify.h"

// What a destination of `organise` must hold for each of its roms, the dump's bytes handed over
// as they must be written, and whether a file holds them: the pieces carrying out a target is
// made of.
namespace cartscope::archive::detail {

// What the destination must hold for a rom: its bytes as dumped, or padded as `verify` matched
// them.
struct Expected {
    std::uint64_t size = 0;
    std::uint64_t sourceSize = 0;
    std::optional<std::uint8_t> padByte;
    std::optional<std::uint32_t> crc;
    std::vector<std::pair<core::DigestKind, core::DigestBytes>> digests;
};

// The rom a verified dump matched, padded (`padded`, and the dump trimmed) or as it is.
Expected expectedFor(const Dump& dump, const core::DatSet& dats, bool padded);

// Whether the hashes of a whole file are the ones expected.
bool hashesAgree(const core::VerifyResult& got, const Expected& e);

// Whether the regular file open at `fd` holds the one wanted rom.
bool rawHolds(int fd, const Expected& e);

// A zip's members by name, each with what it must hold.
using WantedMembers = std::vector<std::pair<std::string, Expected>>;

// Whether the zip open at `fd` holds exactly the wanted roms (names, sizes and CRC-32s), and is
// torrentzipped when that is wanted.
bool zipHolds(int fd, const WantedMembers& wanted, bool torrentzip);

// Every member of the zip at `path` read and hashed against what it must hold.
bool zipReadsBack(const std::string& path, const WantedMembers& wanted);

// The dump's bytes, read again from its file or archive, followed by the padding the expected
// bytes have. Throws core::Error when the dump cannot be read or changed since it was verified.
ByteSource sourceOf(const Dump& dump, const Expected& e, const core::Checkpoint& checkpoint);

} // namespace cartscope::archive::detail
