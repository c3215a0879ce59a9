#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/fs/filelist.h"
#include "core/io/stream.h"

// A file of the image's tree read whole by its path as `list` prints it, and the files that go
// with it (a palette beside its graphics), for the commands that decode one file.
namespace cartscope::cli {

// The largest file these commands read into memory.
inline constexpr std::uint64_t kMaxDecodedFile = std::uint64_t{64} << 20;

// The bytes of the file at `path`: a row of the tree, or a member of a NARC archive in it
// ("/a/b.narc/c.NCGR", also in a compressed archive or one inside another), decompressed when
// it carries a plausible compression header and no known magic of its own. Throws "No file "%s"
// in the image", ""%s" is too large to open (N bytes; at most 64 MiB)", the decoder's or the
// archive's errors, or the row's problem.
std::vector<std::uint8_t> readTreeFile(const core::Stream& image,
                                       const std::vector<core::FileRow>& rows,
                                       const std::string& path);

// The rows a file at `path` is among: the tree's, or for a member of an archive the archive's
// members (with their full paths), so a companion is chosen in the same archive.
std::vector<core::FileRow> rowsBeside(const core::Stream& image,
                                      const std::vector<core::FileRow>& rows,
                                      const std::string& path);

// The file of kind `extension` (".NCLR") that goes with `path`: in the same folder, the one with
// the same base name, else the only one of that kind. Throws "No NCLR file beside "%s"; give one
// with --palette" or "Several NCLR files could go with "%s": a, b; give one with --palette".
std::string companionPath(const std::vector<core::FileRow>& rows, const std::string& path,
                          const std::string& extension, const std::string& option);

} // namespace cartscope::cli
