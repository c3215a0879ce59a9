#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "archive/reader.h"
#include "archive/temp_area.h"

// Taking an image out of a .zip: what the window's ExtractFromZip and the command line share.
namespace cartscope::archive {

struct ExtractedImage {
    TempImage temp;          // owns the private folder; the copy goes with it
    std::string path;        // the extracted image, directly inside temp.folder()
    std::string memberName;  // the member's name as stored in the archive (display only)
    std::uint32_t crc32 = 0; // CRC-32 of the copy, computed while it was written
};

// Lists the archive's image members, takes the FIRST, extracts it into a fresh TempImage under
// its cleaned base name and returns it when exactly one member was extracted and
// `events.cancelled` (when set) says false. std::nullopt, with everything written removed, when
// the archive holds no image (or is not a readable archive), the extraction failed or was
// cancelled. Throws core::Error when the archive cannot be opened, the temporary folder
// cannot be made, the copy cannot be written, or the member is refused with a message (too
// large, no room, data that does not match its stored CRC-32; see extractMember).
// The CRC-32 and `extraSinks` are fed the member's bytes as they are written: the copy is the
// image's one whole read, never read back.
std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events,
                                                std::span<core::ReadSink* const> extraSinks = {});

// The first image member of an archive as the command line reads it: without a copy on disk
// when it can (see readInPlace), else copied out as extractFirstImage does.
struct ArchiveImage {
    std::string memberName;             // as stored in the archive (display only)
    std::uint32_t crc32 = 0;            // of the image's bytes, checked or computed once
    std::optional<ExtractedImage> copy; // the copy, when the member had to be copied
    std::uint64_t offset = 0;           // else where the image lies in the archive file,
    std::uint64_t size = 0;
    std::shared_ptr<const MemberBytes> memory; // or its bytes, inflated into memory
};

// As extractFirstImage (the same members, events, refusals and messages), except that a member
// readInPlace can take is not copied: `extraSinks` see its bytes as they are checked against
// the stored CRC-32.
std::optional<ArchiveImage> openFirstImage(const std::string& archivePath,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks = {});

} // namespace cartscope::archive
