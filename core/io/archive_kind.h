#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/io/stream.h"

// Archive and compressed-stream formats told apart by their first bytes, so a file handed over
// as an image that is really an archive is named for what it is instead of being read as a
// cartridge.
namespace cartscope::core {

enum class ArchiveKind { None, Zip, SevenZip, Gzip, Rar, Xz, Zstd, Bzip2 };

// The most leading bytes any signature below needs.
inline constexpr std::size_t kArchiveMagicSize = 6;

// The kind whose signature `head` (a file's first bytes, possibly fewer than
// kArchiveMagicSize) starts with: "PK\3\4" or "PK\5\6" zip, "7z\xBC\xAF\x27\x1C" 7z, "\x1F\x8B"
// gzip, "Rar!\x1A\x07" RAR, "\xFD" "7zXZ" xz, "\x28\xB5\x2F\xFD" zstd, "BZh" bzip2.
ArchiveKind archiveKindOf(std::span<const std::uint8_t> head);

// The kind of the stream's first bytes (None for a stream too short to carry a signature).
ArchiveKind archiveKindOf(const Stream& stream);

// "a zip archive", "a 7z archive", "a gzip archive", "a RAR archive", "an xz archive",
// "a zstd archive", "a bzip2 archive"; empty for None.
std::string archiveKindText(ArchiveKind kind);

// ""x.rar" is a RAR archive; Cartscope reads zip and 7z archives": the refusal of an archive of a
// kind the program does not open, naming the file as the other errors do.
std::string unsupportedArchiveMessage(const std::string& path, ArchiveKind kind);

} // namespace cartscope::core
