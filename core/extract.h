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
// A range past the end of the image fails with "Stream read error" before anything is created;
// on a read or write failure during the copy ("Stream read error", "Stream write error") the
// partial output is removed before the error propagates; "Cannot create file "%s". %s" (the full
// path) when it or a folder on the way cannot be made. Returns the bytes written.
std::uint64_t extractPlanned(Stream& image, const PlannedFile& file);

// Whole-list extraction with progress, in plan order. `onProgress` is called:
// - before each file, with `current` pointing at it, `done` the files finished so far and
//   `bytes` the bytes written so far; returning false cancels: that file and every later one
//   are skipped (the window processes pending input in this call, so a Cancel click made while
//   a file is copied takes effect before the next one, and no half file is ever left);
// - once after the loop, finished or cancelled, with `current` null and the final counts; its
//   return value is ignored.
// An error from a copy (or thrown by the callback) ends the run at once, without the final
// call; the files finished before it stay. An empty function never cancels.
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
