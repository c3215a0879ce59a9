#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/base/error.h"

namespace cartscope::core::rebuild {

struct BuildOptions {
    bool force = false; // replace an existing OUT
    // A tree without a layout: the byte between the pieces laid out.
    std::uint8_t fill = 0x00;
    // Asked between files; true ends the build with BuildInterrupted, nothing written.
    std::function<bool()> interrupted;
};

struct BuildResult {
    std::uint64_t bytes = 0; // the image's size
    std::size_t files = 0;   // files of the tree and the layout read
};

class BuildInterrupted : public Error {
public:
    BuildInterrupted() : Error("Interrupted") {}
};

// Puts the image back together from `tree` (DIR/<internal name> as extract --system wrote it)
// and its layout ("<tree>.layout"), into `out`. The tree is read without following symbolic
// links (a link in it is an error naming it) and must be as extract left it: every file of the
// layout there with its size and modification time, and no other. `out` appears whole or not at
// all (written unnamed beside it, synced, then named); an existing `out` is refused without
// `force`, and one that is an input of the build, or lies inside the tree or the layout, always.
// Every failure throws the user's message naming the path, and nothing is written. A tree with no
// layout beside it and a [system]/header.bin in it is laid out afresh (fresh_tree.h).
BuildResult buildImage(const std::string& tree, const std::string& out,
                       const BuildOptions& options);

} // namespace cartscope::core::rebuild
