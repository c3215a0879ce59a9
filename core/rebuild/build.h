#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/base/error.h"

namespace cartscope::core::rebuild {

struct BuildOptions {
    bool force = false; // replace an existing OUT
    // A tree without a layout: the byte between the pieces laid out.
    std::uint8_t fill = 0x00;
    // Files with a recorded digest are compared by it instead of their modification time.
    bool rehash = false;
    // Every region laid out again, one after the other (the header and ARM9 stay).
    bool compact = false;
    bool keepBannerCrcs = false; // banner.bin edited: keep its stored CRC-16s
    // A file extract wrote decompressed and that was edited is packed again without
    // back-references at distance 1 (see EncodeOptions).
    bool vramSafe = true;
    // Files added to or removed from a folder of the image: number the files again.
    bool renumber = false;
    // Asked between files; true ends the build with BuildInterrupted, nothing written.
    std::function<bool()> interrupted;
};

// A file whose ID --renumber changed.
struct IdChange {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::string path; // below the tree
};

struct BuildResult {
    std::uint64_t bytes = 0;           // the image's size
    std::size_t files = 0;             // files of the tree and the layout read
    std::size_t edited = 0;            // files whose bytes differ from the layout's
    std::vector<std::string> warnings; // the user's texts (a signed region changed)
    std::size_t renamed = 0, added = 0, removed = 0;
    std::vector<IdChange> renumbered; // by old ID
};

class BuildInterrupted : public Error {
public:
    BuildInterrupted() : Error("Interrupted") {}
};

// Puts the image back together from `tree` (DIR/<internal name> as extract --system wrote it)
// and its layout ("<tree>.layout"), into `out`. The tree is read without following symbolic
// links (a link in it is an error naming it) and holds every system file of the layout.
// A file whose size or modification time differs (or digest, where the layout has one) was
// edited: it stays in its slot while it fits and shares no byte, else it moves to the end of the
// used area; the header, allocation table and banner CRC-16s follow (see edit_plan.h). `out`
// appears whole or not at all (written unnamed beside it, synced, then named); an existing `out` is
// refused without `force`, and one that is an input of the build, or lies inside the tree or the
// layout, always. Files renamed, added and removed change the name table (see rename_plan.h).
// A file extract wrote decompressed is written as the image held it (the layout's original/)
// while it is unchanged, and packed again as it was when edited (recompress.h).
// Every failure throws the user's message naming the path, and nothing is written.
// A tree with no layout beside it and a [system]/header.bin in it is laid out afresh
// (fresh_tree.h).
BuildResult buildImage(const std::string& tree, const std::string& out,
                       const BuildOptions& options);

} // namespace cartscope::core::rebuild
