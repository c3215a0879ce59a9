#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/rebuild/build.h"
#include "core/rebuild/layout.h"

// A tree in extract's form without a layout (a homebrew developer's [system]/header.bin,
// arm9.bin, arm7.bin, optional banner.bin, y9.bin, y7.bin and overlay/overlay_NNNN.bin, and the
// data tree beside [system]) laid out as the standard packer lays out a new image from a header
// template: ARM9 at the header size rounded up to 0x200, the ARM9 overlay table, ARM7 at 0x8000
// or later, the ARM7 overlay table, the name and allocation tables, the banner, the overlays,
// then the files in name-table order, each piece at a multiple of 0x200. Names sort by their
// bytes; a folder's files take their IDs before its subfolders' files; folders are numbered
// depth-first in the same order. Names beginning with "." are left out, as the packer leaves
// them out.
namespace cartscope::core::rebuild {

inline constexpr std::size_t kTemplateSize = 0x200;

// Names in the packer's order: by their bytes, unsigned, as strcmp compares them.
inline bool byName(std::string_view a, std::string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

// The last component of a "/"-separated path.
inline std::string_view baseName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// One file of the tree, as read: its path below the tree, its size and modification time.
struct FreshFile {
    std::string path;
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0;
};

struct FreshFolder {
    std::string name;
    std::vector<FreshFile> files;     // in any order; the layout sorts them
    std::vector<FreshFolder> folders; // likewise
};

// What the layout depends on, read from the tree.
struct FreshInput {
    std::array<std::uint8_t, kTemplateSize> header{}; // header.bin's first 0x200 bytes
    FreshFile arm9;
    std::uint32_t arm9FirstWord = 0; // a secure area already in place starts E7FFDEFFh
    bool arm9Footer = false;         // its last 12 bytes begin with the nitro code
    FreshFile arm7;
    std::optional<FreshFile> arm9Overlays; // y9.bin
    std::optional<FreshFile> arm7Overlays; // y7.bin
    std::optional<FreshFile> banner;
    std::vector<FreshFile> overlays; // overlay/overlay_0000.bin ..., one per table entry
    FreshFolder root;                // the data tree ([system] apart)
};

// Bytes the layout makes rather than copies: the header, the name and allocation tables and
// the stand-in secure area.
struct Generated {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct FreshLayout {
    // Regions in offset order: tree files carry their path (and size and time as read), made
    // ones an empty path; runs are the holes between them, every one a fill.
    Layout layout;
    std::vector<Generated> generated; // in offset order; the header first
    std::uint64_t usedSize = 0;       // the header's 0x80 word
    std::uint64_t arm9Offset = 0;
    // File IDs in name-table order: "path" -> ID, overlays first.
    std::vector<std::pair<std::string, std::uint32_t>> fileIds;
};

// The layout of `input` with holes of `fill`. The secure-area and header CRC-16s still depend on
// the copied bytes below 0x8000; writeFreshTree sets them. Throws the user's message when the
// tree cannot be laid out (past 4 GiB, a DSi header, missing overlay files).
FreshLayout layFreshTree(const FreshInput& input, std::uint8_t fill);

// Reads and checks `tree` (no symbolic links, regular files only, names of at most 127 bytes,
// at most 65,536 files and 4,095 folders); throws naming the path at fault.
FreshInput readFreshTree(const std::string& tree);

// Whether `tree` is a fresh tree: no "<tree>.layout" beside it and a [system]/header.bin in it.
bool isFreshTree(const std::string& tree);

// Lays out and writes `tree` into `out` (whole or not at all, as every build writes).
BuildResult buildFreshTree(const std::string& tree, const std::string& out,
                           const BuildOptions& options);

} // namespace cartscope::core::rebuild
