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

// The bytes of the row at `path`. Throws "No file "%s" in the image", ""%s" lies inside the NARC
// archive "%s"; only files of the image's own tree are opened for now", ""%s" is compressed; it
// is not opened" (the first byte names a compression codec and no known magic follows), ""%s" is
// too large to open (N bytes; at most 64 MiB)", or the row's problem.
std::vector<std::uint8_t> readTreeFile(const core::Stream& image,
                                       const std::vector<core::FileRow>& rows,
                                       const std::string& path);

// The file of kind `extension` (".NCLR") that goes with `path`: in the same folder, the one with
// the same base name, else the only one of that kind. Throws "No NCLR file beside "%s"; give one
// with --palette" or "Several NCLR files could go with "%s": a, b; give one with --palette".
std::string companionPath(const std::vector<core::FileRow>& rows, const std::string& path,
                          const std::string& extension, const std::string& option);

} // namespace cartscope::cli
