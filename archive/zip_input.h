#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "archive/reader.h"
#include "archive/temp_area.h"

// Taking an image out of a .zip: the one lookup the window's ExtractFromZip and the command
// line share. The member is the first .nds/.ids member in archive order, else the first
// .dsi/.srl member (core::imageNameOf); the archive is opened once (ZipImageReader).
namespace cartscope::archive {

struct ExtractedImage {
    TempImage temp;          // owns the private folder; the copy goes with it
    std::string path;        // the extracted image, directly inside temp.folder()
    std::string memberName;  // the member's name as stored in the archive (display only)
    std::uint32_t crc32 = 0; // CRC-32 of the copy, computed while it was written
};

// The image member of an archive, as the command line reads it: without a copy on disk when it
// can (ZipImageReader::readInPlace), else copied out as extractFirstImage does.
struct ArchiveImage {
    std::string memberName;             // as stored in the archive (display only)
    std::uint32_t crc32 = 0;            // of the image's bytes, checked or computed once
    std::optional<ExtractedImage> copy; // the copy, when the member had to be copied
    std::uint64_t offset = 0;           // else where the image lies in the archive file,
    std::uint64_t size = 0;
    std::shared_ptr<const MemberBytes> memory; // or its bytes, in memory
};

enum class Placement {
    InPlace, // read where it lies or into memory when it can, else copied (the command line)
    Copy,    // always copied to the private folder (the window keeps its copy)
};

// The archive open as `fd` (`size` bytes, named `archivePath` in messages): its image member
// found and taken as `placement` says. std::nullopt, with everything written removed, when the
// archive holds no image (or is not a readable archive), the read or the extraction failed, or
// `events.cancelled` (when set) says true at its end. Throws core::Error when the temporary
// folder cannot be made, the copy cannot be written, or the member is refused with a message
// (too large, no room, data that does not match its stored CRC-32; see extractMember), and the
// zip-bomb refusals. The CRC-32 and `extraSinks` are fed the member's bytes as they are read:
// that is the image's one whole read.
// With `wanted`, the member taken is that one (ZipImageReader::findImage), not the first image.
std::optional<ArchiveImage> takeImage(int fd, std::uint64_t size, const std::string& archivePath,
                                      Placement placement, const ExtractEvents& events,
                                      std::span<core::ReadSink* const> extraSinks = {},
                                      const std::optional<Member>& wanted = std::nullopt);

// takeImage over the archive at `archivePath`, always copied: the window's road. Throws
// "Cannot open file "%s". %s" when it cannot be opened; a file that is not a regular file
// holds no image.
std::optional<ExtractedImage> extractFirstImage(const std::string& archivePath,
                                                const ExtractEvents& events,
                                                std::span<core::ReadSink* const> extraSinks = {});

// extractFirstImage of the image member `wanted` names (a member a listing of this archive
// gave), not of the first one: a row of a collection opens its own member.
std::optional<ExtractedImage> extractImageMember(const std::string& archivePath,
                                                 const Member& wanted, const ExtractEvents& events,
                                                 std::span<core::ReadSink* const> extraSinks = {});

// takeImage over the archive at `archivePath`, read in place when it can.
std::optional<ArchiveImage> openFirstImage(const std::string& archivePath,
                                           const ExtractEvents& events,
                                           std::span<core::ReadSink* const> extraSinks = {});

} // namespace cartscope::archive
