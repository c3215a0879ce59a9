#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/names.h"
#include "core/extract/dir_ops.h"
#include "core/fs/filelist.h"
#include "core/io/stream.h"

namespace cartscope::core {

// Where one row goes: `relative` is internal-name folder + the row's path with every component
// cleaned; the row is written to `base` + relative (`full()`), the destination base being one
// string that every row of a plan shares. `renamed` tells that a suffix was added to keep two
// rows of one run from landing on the same path.
struct PlannedFile {
    FileRow row;
    std::string relative;
    std::shared_ptr<const std::string> base; // "DIR/"; null reads as empty
    std::uint64_t offset = 0;                // column 1, unsigned 32-bit position
    std::int64_t size = 0;                   // column 2; zero or negative copies nothing
    bool renamed = false;

    std::string_view baseFolder() const { return base ? std::string_view(*base) : ""; }
    std::string full() const
    {
        std::string f(baseFolder());
        return f += relative;
    }
};

// Plans the destination of every row in order. The destination base is used as given (a "/"
// is appended when missing); every component below it is checked safe (never empty, "." or
// "..", no "/" or NUL), so every full path lies inside base/internal-name. A row that carries a
// problem is planned under its cleaned path but takes no name from the others: it is never
// written, so the rest are planned as if it were not there.
// Rows are added one at a time, so a caller that makes them one by one (forEachRow) never holds
// them all twice; `expectedRows` is the most the caller will add (more are taken, at the cost of
// a pause to re-index).
class ExtractionPlanner {
public:
    ExtractionPlanner(const std::string& destinationBase, const std::string& internalName,
                      std::size_t expectedRows);
    ~ExtractionPlanner();
    ExtractionPlanner(const ExtractionPlanner&) = delete;
    ExtractionPlanner& operator=(const ExtractionPlanner&) = delete;
    // Throws the user's message for a path that cannot be written below the base.
    void add(FileRow row);
    std::vector<PlannedFile> take();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// The same for rows already held. They are taken by value: a caller done with them moves them
// in, and they are not copied.
std::vector<PlannedFile> planExtraction(const std::string& destinationBase,
                                        const std::string& internalName, std::vector<FileRow> rows);

// The rule for rows that cannot be extracted, which the run applies to every row: a row that
// carries a problem (a system file or an archive member that does not fit) or whose path had to
// be cut for length is refused before anything of it is created. Returns the user's text,
// "Cannot extract "PATH": <reason>", or nothing for a row that can be written.
std::optional<std::string> refusal(const FileRow& row);
// Throws the refusal, when there is one (a front end that asks before anything else).
void requireExtractable(const FileRow& row);

// Whether a row's range can be copied from an image of imageSize bytes (an empty or negative
// size always can: nothing is read).
bool rangeInsideImage(const PlannedFile& file, std::uint64_t imageSize);

// Copies one planned row out of the image: creates its folders, replaces any existing file
// (a symbolic link there is replaced, never followed), copies `size` bytes from `offset`.
// A range past the end of the image fails with "Stream read error" before anything is created;
// a read failure during the copy ("Stream read error") or a write failure ("Cannot write file
// "%s". %s", naming the file and the reason, "No space left on device" for a full disk) removes
// the partial output before the error propagates; "Cannot create file "%s". %s" (the full path)
// when it or a folder on the way cannot be made, with the reason the folder could not be made
// when that is the cause. Returns the bytes written.
std::uint64_t extractPlanned(const Stream& image, const PlannedFile& file,
                             const DirectoryOps& ops = systemDirectoryOps());

// Whole-list extraction with progress, in plan order. `onProgress` is called:
// - before each file, with `current` pointing at it, `done` the files finished (written or, when
//   the run keeps going, failed) so far and `bytes` the bytes written so far; returning false
//   cancels: that file and every later one are skipped (the window processes pending input in
//   this call, so a Cancel click made while a file is copied takes effect before the next one,
//   and no half file is ever left);
// - once after the loop, finished or cancelled, with `current` null and the final counts; its
//   return value is ignored.
// Without `keepGoing` an error from a copy (or thrown by the callback) ends the run at once,
// without the final call; the files finished before it stay. With it (the command line), a file
// that cannot be written is recorded in the summary with its reason and the run goes on, except
// when the destination base folder itself is gone: that error ends the run as without it.
//
// Rows that carry a problem (see refusal) are never written. With `keepGoing` or
// `recordRefused` they are recorded as failures (the problem as the reason) before the first
// file is written, told through onFailure, and left out of the progress counts; otherwise the
// run stops at the first of them with its refusal.
//
// Destinations that fold letter case (FAT and exFAT cards, casefolded folders) would let
// "CASE.TXT" and "case.txt", or folders "Data" and "DATA", land on one file. Each file and folder
// written in a run is known by its identity (device and inode): a destination that turns out to
// be one of them is left untouched and the row goes under the next free " (2)" name, reported
// through `onRenamed` and counted in `renamed`. Where identity cannot tell (FUSE drivers give
// every spelling an inode of its own), a name that exists although the folder lists no entry of
// exactly that name is taken as meeting an entry this run wrote under another spelling.
struct ExtractProgress {
    std::size_t done = 0;
    std::size_t total = 0;
    std::uint64_t bytes = 0;
    const PlannedFile* current = nullptr; // null in the final call
};
struct ExtractFailure {
    std::string path;    // the row's path in the image
    std::string message; // why it was not written
};
struct ExtractSummary {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
    std::size_t renamed = 0;
    bool cancelled = false;
    std::vector<ExtractFailure> failures;
};
struct ExtractOptions {
    std::function<bool(const ExtractProgress&)> onProgress;
    bool keepGoing = false;
    // A row written under another name than planned: the relative path actually written.
    std::function<void(const PlannedFile&, const std::string& writtenRelative)> onRenamed;
    // Record the rows that carry a problem instead of stopping at them (implied by keepGoing).
    bool recordRefused = false;
    // With keepGoing or recordRefused: a file that was not written, as it is recorded.
    std::function<void(const ExtractFailure&)> onFailure;
    const DirectoryOps* ops = nullptr; // the system's calls when null
};
ExtractSummary runExtraction(const Stream& image, const std::vector<PlannedFile>& plan,
                             const ExtractOptions& options);

} // namespace cartscope::core
