#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/extract/extract.h"
#include "core/fs/fnt.h"
#include "core/fs/system_files.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"
#include "core/rebuild/decompress.h"
#include "core/rebuild/layout.h"

namespace cartscope::core::rebuild {

// The layout's region kind for a system file.
RegionKind regionKindOf(SystemFileKind kind);

// Rows the run wrote under another name than planned (a destination that folds letter case):
// the planned file (an element of the plan) -> the relative path written.
using WrittenNames = std::unordered_map<const PlannedFile*, std::string>;

// What one finished extraction run wrote, and the image it came from.
struct ExtractedImage {
    const Stream& image;
    const HeaderRecord& header;
    const std::vector<TFileEntry>& files; // the name table walk of the load
    const std::vector<TDirEntry>& dirs;
    const std::vector<PlannedFile>& plan; // every row written, in any order
    const WrittenNames& renamed;
    std::string destinationBase; // DIR as given to the plan
    std::string internalName;    // as given to the plan (cleaned here as it was there)
    // The run's stamps by plan index (ExtractOptions::stampWritten), when it took them: a file
    // with one is not looked up again (one written decompressed afterwards always is).
    const std::vector<std::optional<WrittenStamp>>* stamps = nullptr;
};

// After a run that wrote every row: when the plan holds every file of the tree and every system
// file, writes DIR/<internal name>.layout/ (layout.json, fnt.bin, fat.bin, gaps/) beside the tree
// and returns true; a plan that holds less (some paths, no system files) writes nothing and
// returns false. The folder appears whole: it is written under a hidden name and renamed into
// place, replacing an earlier layout. Throws the user's message when it cannot be written, or
// when a written file is not as the run left it (it changed since). The files the run wrote
// decompressed (`decompressed`) are recorded so, and their image bytes kept in original/.
bool writeLayout(const ExtractedImage& extracted,
                 const std::vector<DecompressedFile>& decompressed = {});

} // namespace cartscope::core::rebuild
