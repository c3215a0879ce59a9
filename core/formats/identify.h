#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/compress/compress.h"
#include "core/io/stream.h"

// What a file inside an image holds, told from its first bytes: a game format by its magic and,
// for a compressed file, the codec (a plausible header and a trial decode of the first 4 KiB)
// and the format of what that decode made.
namespace cartscope::core::formats {

// The bytes identify() reads from the start of a file (fewer when the file is shorter): the
// trial decode's 4 KiB, header included.
inline constexpr std::size_t kIdentifyBytes = 4096;

struct FileFormat {
    std::optional<std::string> format; // "NCGR", "NARC", "BMG", ...; nullopt when unknown
    std::optional<Codec> compression;  // nullopt when not compressed (or not recognised)
};

// `head` is the file's first bytes (up to kIdentifyBytes), `fileSize` its whole size. A file
// whose own magic is known is taken as it is, even where its first bytes would also pass for a
// compression header.
FileFormat identify(std::span<const std::uint8_t> head, std::uint64_t fileSize);

// The file of `size` bytes at `offset` in `stream`, from its first kIdentifyBytes; nothing known
// for an empty file, a negative size or a range outside the stream.
FileFormat identifyAt(const Stream& stream, std::uint64_t offset, std::int64_t size);

// The format by magic alone: "NCLR", "NCGR", "NSCR", "NCER", "NANR", "NFTR", "NMCR", "NMAR",
// "NARC", "BMG", "SDAT", "SSEQ", "SBNK", "SWAR", "SSAR", "STRM", "NSBMD", "NSBTX", "NSBCA",
// "NSBTP", "NSBTA", "NSBMA", "NSBVA".
std::optional<std::string> formatByMagic(std::span<const std::uint8_t> head);

// "LZ11 → NCGR", "NCGR", "LZ11" (compressed, contents unknown); empty when nothing is known.
std::string formatText(const FileFormat& f);

} // namespace cartscope::core::formats
