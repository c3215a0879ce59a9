#pragma once

#include <memory>
#include <optional>
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

// What one extraction run wrote, and the image it came from. The names written are read when
// the layout is written: a caller that starts the layout before the run (LayoutInAdvance) points
// at the run's own map, filled as it goes.
struct ExtractedImage {
    const Stream& image;
    const HeaderRecord& header;
    const std::vector<TFileEntry>& files; // the name table walk of the load
    const std::vector<TDirEntry>& dirs;
    const std::vector<PlannedFile>& plan; // every row written, in any order
    const WrittenNames& renamed;
    std::string destinationBase; // DIR as given to the plan
    std::string internalName;    // as given to the plan (cleaned here as it was there)
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

// The same in two steps, the first started before the run: what the run does not change (every
// region as planned, the SHA-1s of shared ranges, the image's bytes outside the regions) is read
// on a thread of its own while the run copies the files, which then follows the run, looking
// up each file it finished; `write` waits for it and writes the layout as writeLayout does.
// `extracted` and what it points at must outlive the object; a run that ends without writing the
// layout just drops it (the reading stops at once).
class LayoutInAdvance {
public:
    explicit LayoutInAdvance(const ExtractedImage& extracted);
    ~LayoutInAdvance();
    LayoutInAdvance(const LayoutInAdvance&) = delete;
    LayoutInAdvance& operator=(const LayoutInAdvance&) = delete;
    // The run's progress, as its onProgress calls tell it: the files before `current` are
    // finished, and are looked up (size and time) while the run goes on.
    void progress(const ExtractProgress& p);
    bool write(const std::vector<DecompressedFile>& decompressed = {});

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace cartscope::core::rebuild
