#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/io/stream.h"

// A ZIP archive's central directory read on its own, for what libarchive does not check: whether
// members share bytes, and the names of members libarchive cannot hand out.
namespace cartscope::archive::detail {

// Deflate's best ratio: a 258-byte match costs at least two bits, so no deflated member inflates
// to more than about 1,032 times its compressed size. An archive whose stored and deflated
// members together declare more than this multiple of the archive's whole size cannot hold
// them honestly. Other methods (bzip2, LZMA, xz, zstd) can legitimately do better and are left
// out of the sum (as is deflate64, whose longer matches allow far more); their members are
// still bounded one by one.
inline constexpr std::uint64_t kMaxDeclaredRatio = 1032;

struct DirectoryEntry {
    std::uint64_t localOffset = 0; // the local header's offset in the file
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint16_t method = 0;
    std::string name; // the stored bytes, not necessarily UTF-8 (display only)
};

// The central directory's records in the order of their local headers (the order libarchive
// hands entries out in), found as libarchive finds them (the last end record in the file's last
// 16 KiB, zip64 records followed, the same correction for bytes prepended to the archive).
// std::nullopt when there is no directory to read; libarchive then refuses the file itself.
// Read in 1 MiB pieces, so its memory follows the records, never a size the file declares.
std::optional<std::vector<DirectoryEntry>> readDirectory(const core::Stream& file);

// Throws core::Error ""%s": overlapping members (a zip bomb)" when two members' data ranges (a
// local header and the compressed bytes after it) share a byte, and ""%s": members declaring
// more than 1032 times the archive's size (a zip bomb)" when the stored and deflated members
// together declare more than kMaxDeclaredRatio times the file's size. Either makes a small file
// inflate to terabytes; no archive a program writes has them.
void refuseZipBomb(const std::vector<DirectoryEntry>& entries, std::uint64_t fileSize,
                   const std::string& path);

} // namespace cartscope::archive::detail
