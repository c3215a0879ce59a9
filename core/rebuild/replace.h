#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"

// Files of an image replaced straight from the image, without an extracted tree: the edit rules
// of a tree build (a file that outgrows its slot moves to the end of the used area, a shrunk one
// stays, the tables, header and CRCs follow) applied to the image's own bytes.
namespace cartscope::core::rebuild {

struct Replacement {
    std::string path;   // as `list` prints it: "/a/b.bin", "/[system]/arm9.bin", "/a/b.narc/c.bin",
                        // "/a/b.carc/inner.narc/c.bin"
    std::string source; // the file holding the new bytes, read when the image is written
};

struct ReplaceOptions {
    bool keepBannerCrcs = false; // banner.bin replaced: keep its stored CRC-16s as they are
    // A compressed archive with members replaced is packed again without back-references at
    // distance 1, which the console's 16-bit VRAM decoder cannot read.
    bool vramSafe = true;
    // Asked between blocks; true ends the write with an error, nothing written.
    std::function<bool()> interrupted;
};

struct ReplaceResult {
    std::uint64_t bytes = 0;           // the written image's size
    std::vector<std::string> warnings; // the user's texts (a signed region changed, ...)
};

// The size today of the file `path` names in `image`; throws the user's message naming the
// path when the image has no such file or it cannot be replaced.
std::uint64_t replaceableSize(const Stream& image, const std::string& path);

// Writes `image` with every replacement applied into `out`; the caller commits `out`. Throws the
// user's message naming the path at fault; nothing is committed then.
ReplaceResult replaceFiles(const Stream& image, std::span<const Replacement> replacements,
                           OutputFile& out, const ReplaceOptions& options);

} // namespace cartscope::core::rebuild
