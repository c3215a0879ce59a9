#pragma once

#include <cstdint>
#include <optional>

#include "archive/zip_directory.h"
#include "core/io/stream.h"

// Where a ZIP member's data lies in the archive file, read from the archive's own records, so
// the reader can take the bytes itself (in place, or through a faster inflater) once libarchive
// has accepted the member's headers.
namespace cartscope::archive::detail {

struct MemberData {
    std::uint64_t offset = 0;         // first byte of the member's (compressed) data in the file
    std::uint64_t compressedSize = 0; // bytes of data in the file
    std::uint64_t size = 0;           // bytes once inflated (== compressedSize when stored)
    std::uint32_t crc32 = 0;          // the value the data is checked against
    bool deflated = false;            // else stored
};

// The member whose data begins at `dataOffset` (where libarchive stands after reading its
// local header), from the archive's directory (read once, readDirectory) when libarchive's own
// rules found it: the member is the one central record whose local header ends exactly at
// `dataOffset`. The CRC-32 and sizes are the ones libarchive checks: the local header's where
// it gives them, else the central record's, each taken from the header's zip64 field where the
// header holds the zip64 marker. A member written with a data descriptor (flag bit 3) is taken
// only when the descriptor after its data (with or without its signature, with 4- or 8-byte
// sizes) says what the central record says.
// std::nullopt for anything else than these cases, so the caller leaves the member to
// libarchive: a directory not found by libarchive's rules or damaged, no or several matching
// records, encryption, a method other than stored or deflate, local and central values that
// disagree, a malformed zip64 field, a stored member whose sizes differ, data reaching past the
// end of the file, a descriptor that is missing or disagrees.
std::optional<MemberData> locateMemberData(const core::Stream& file, const Directory& directory,
                                           std::uint64_t dataOffset);

} // namespace cartscope::archive::detail
