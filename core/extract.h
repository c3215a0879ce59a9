#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/filelist.h"
#include "core/stream.h"

namespace cartscope::core {

// Makes one path component from an image or archive safe to create: "/", "\", NUL and control
// characters become "_"; "", "." and ".." become "_", "_." and "_.."; the result is never empty
// and never names the folder itself or its parent. Names that are already safe are unchanged.
std::string cleanName(const std::string& name);

// Where one row goes: `relative` is internal-name folder + the row's path with every component
// cleaned; `full` is destination base + relative. `renamed` tells that a suffix was added to
// keep two rows of one run from landing on the same path.
struct PlannedFile {
    FileRow row;
    std::string relative;
    std::string full;
    std::uint64_t offset = 0; // column 1, unsigned 32-bit position
    std::int64_t size = 0;    // column 2; zero or negative copies nothing
    bool renamed = false;
};

// Plans the destination of every row in order. The destination base is used as given (a "/"
// is appended when missing); every full path is checked to lie inside base/internal-name.
std::vector<PlannedFile> planExtraction(const std::string& destinationBase,
                                        const std::string& internalName,
                                        const std::vector<FileRow>& rows);

// Creates each missing folder along `relativeFolder` (ending with "/") below `base`.
void CreateSubDirs(const std::string& base, const std::string& relativeFolder);

// Copies one planned row out of the image: creates its folders, replaces any existing file
// (a symbolic link there is replaced, never followed), copies `size` bytes from `offset`.
// On "Stream read error" (the image ends early) or "Stream write error" the partial output is
// removed before the error propagates; "Cannot create file "%s". %s" when it cannot be made.
// Returns the bytes written.
std::uint64_t extractPlanned(Stream& image, const PlannedFile& file);

// Whole-list extraction with progress. `onProgress` is called before each file (done = files
// finished so far) and once at the end; returning false cancels: the file being copied is
// always finished first, so cancel takes effect between files and never leaves a half file.
struct ExtractProgress {
    std::size_t done = 0;
    std::size_t total = 0;
    std::uint64_t bytes = 0;
    const PlannedFile* current = nullptr; // null in the final call
};
struct ExtractSummary {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::size_t renamed = 0;
    bool cancelled = false;
};
ExtractSummary extractAll(Stream& image, const std::vector<PlannedFile>& plan,
                          const std::function<bool(const ExtractProgress&)>& onProgress);

} // namespace cartscope::core
