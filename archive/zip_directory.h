#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/io/stream.h"

// A ZIP archive's central directory, read once on its own: for what libarchive does not check
// (whether members share bytes), the names of members libarchive cannot hand out, and where a
// member's data lies so the reader can take its bytes itself (zip_layout.h).
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

    // As libarchive takes the record, for own reads of the member's data:
    std::uint16_t flags = 0;
    std::uint32_t crc32 = 0;
    // The local header's offset as libarchive computes it (the correction for prepended bytes
    // is added to the 32-bit field before a zip64 value replaces it); none when before the file.
    std::optional<std::uint64_t> libarchiveOffset;
    bool zip64Sound = true; // its zip64 field read without anything libarchive refuses
};

struct Directory {
    // The records in the order of their local headers (the order libarchive hands entries out
    // in; records with the same offset keep the directory's order).
    std::vector<DirectoryEntry> entries;
    // Found exactly as libarchive finds it (the last end record in the file's last 16 KiB, or the
    // zip64 end record its locator names when that is sound) and walked to its end record
    // without a damaged record: own reads may rely on the records. Otherwise the directory was
    // found as well as it could be (zip64 records followed, a damaged record ending the walk),
    // which is good enough for the zip-bomb checks and for names.
    bool libarchiveLayout = false;
};

// The central directory, std::nullopt when there is none to read (libarchive then refuses the
// file itself). Read in 1 MiB pieces, so its memory follows the records, never a size the file
// declares.
std::optional<Directory> readDirectory(const core::Stream& file);

// Throws core::Error ""%s": overlapping members (a zip bomb)" when two members' data ranges (a
// local header and the compressed bytes after it) share a byte, and ""%s": members declaring
// more than 1032 times the archive's size (a zip bomb)" when the stored and deflated members
// together declare more than kMaxDeclaredRatio times the file's size. Either makes a small file
// inflate to terabytes; no archive a program writes has them.
void refuseZipBomb(const std::vector<DirectoryEntry>& entries, std::uint64_t fileSize,
                   const std::string& path);

// The zip64 extended information field of a header's extra block: each value still at
// 0xffffffff is replaced, in the order uncompressed size, compressed size, local header offset.
// false where libarchive refuses the block (a field running past the block, a value the field
// lacks, a value past 2^63, a short block that is not all zero); the values found are applied
// all the same.
bool applyZip64(std::span<const std::uint8_t> extra, std::uint64_t& size, std::uint64_t& compressed,
                std::uint64_t& localOffset);

} // namespace cartscope::archive::detail
