#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/compress/compress.h"

// Where every byte of an image came from, as `extract --system` wrote the image out: the
// regions (header, binaries, tables, banner, each file by file ID, each overlay) with the file
// each was written to, and every byte outside them as runs (fills, or gap files). `build` reads
// it back to put the image together again; edits change a region's file and the tables.
namespace cartscope::core::rebuild {

// The folder beside the tree: "<tree>.layout" (the tree is "DIR/<internal name>", and nothing
// of the image is written outside it, so no image can meet this name).
inline constexpr const char* kLayoutSuffix = ".layout";
inline constexpr const char* kLayoutFile = "layout.json";
inline constexpr const char* kFntFile = "fnt.bin";
inline constexpr const char* kFatFile = "fat.bin";
inline constexpr const char* kGapFolder = "gaps";
// The image's own bytes of every file extract wrote decompressed, at the file's tree path.
inline constexpr const char* kOriginalFolder = "original";

// A run of one byte value this long or longer is a fill entry; shorter ones stay in gap files,
// except a run that fills a whole hole between regions (the padding after each file, which an
// image of 30,000 files has 30,000 of): that is a fill of any length.
inline constexpr std::uint64_t kMinFill = 4096;

// Limits of what a build takes (the allocation table's 16-bit IDs, the name table's 12-bit
// folder IDs and 7-bit name lengths, the offsets' 32 bits).
inline constexpr std::uint64_t kMaxImageSize = std::uint64_t{1} << 32;
inline constexpr std::size_t kMaxTreeFiles = 65536;
inline constexpr std::size_t kMaxTreeFolders = 4095;
inline constexpr std::size_t kMaxNameBytes = 127;
// Overlays are files of the allocation table too.
inline constexpr std::size_t kMaxOverlays = 65536;
// Fills are at least kMinFill long and alternate at most with one gap each, or fill a whole hole
// (at most one per region and one more).
inline constexpr std::size_t kMaxRuns =
    2 * (kMaxImageSize / kMinFill) + 2 * (kMaxTreeFiles + kMaxOverlays + 16) + 2;
// layout.json of 65,536 files and as many overlays with long paths stays far below this.
inline constexpr std::size_t kMaxLayoutBytes = 128u << 20;

enum class RegionKind {
    Header,
    Arm9,
    Arm7,
    Arm9i,
    Arm7i,
    Arm9OverlayTable,
    Arm7OverlayTable,
    Fnt,
    Fat,
    Banner,
    Overlay,
    File,
};

// "header", "arm9", ..., "file": the JSON spelling; nullopt for a word that is none of them.
const char* regionKindName(RegionKind kind);
std::optional<RegionKind> regionKindNamed(std::string_view name);

using Sha1 = std::array<std::uint8_t, 20>;

// The SHA-1 of what an open file holds, read from its start to its end (the digest a layout
// records for a file). Throws the read error naming `path`.
Sha1 sha1OfFile(int fd, const std::string& path);

// A file extract wrote decompressed (`extract --decompress`): the tree holds the decompressed
// bytes, the layout folder the image's own bytes (original/<path>). A build writes those while
// the tree file is unchanged and packs an edited one again the same way.
struct Decompressed {
    // The stream codec the file was packed with; nullopt: the code compression of the ARM9
    // binary and of overlays.
    std::optional<Codec> codec;
    std::uint64_t size = 0; // the tree file's size
    Sha1 sha1{};            // of the tree file's bytes as written
};

// "LZ10", ..., "code": the JSON spelling of a packing (a stream codec; none: the code
// compression). packingNamed sets `packing` from a spelling, false for a word that is none.
std::string packingName(const std::optional<Codec>& codec);
bool packingNamed(std::string_view name, std::optional<Codec>& packing);

// One range of the image and the file that holds its bytes. Tree files (everything but the
// name and allocation tables) are below the tree; the two tables are in the layout folder.
struct Region {
    RegionKind kind = RegionKind::File;
    // File: its file ID; Overlay: the file ID its table entry names; otherwise 0.
    std::uint32_t id = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0; // the file's size: the bytes it holds of the image
    std::string path;       // relative, "/"-separated, as written (renames included)
    // The file as extract left it: a build compares these to find edited files. Absent for the
    // layout folder's own files.
    std::optional<std::int64_t> mtimeNs;
    // Where size and time cannot tell an edit (see layout_writer.cpp).
    std::optional<Sha1> sha1;
    // Set: the tree file is this region's bytes decompressed; `size` is the image's (packed)
    // bytes, kept in original/<path>.
    std::optional<Decompressed> decompressed;
};

// Bytes outside every region: `fill` set for a run of one value, else a gap file (in gaps/).
struct Run {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::optional<std::uint8_t> fill;
    std::string file; // below the layout folder: "gaps/00001000.bin"
};

struct Layout {
    std::uint64_t imageSize = 0;
    std::vector<Region> regions;
    std::vector<Run> runs; // in offset order, apart, each outside every region
};

// Whether a region's file lies in the layout folder rather than in the tree.
inline bool inLayoutFolder(RegionKind kind)
{
    return kind == RegionKind::Fnt || kind == RegionKind::Fat;
}

// Where the image's own bytes of a file written decompressed are kept: "original/<path>".
std::string originalFile(const std::string& path);

// The gap file of the run at `offset`: "gaps/0001F400.bin".
std::string gapFile(std::uint64_t offset);

// layout.json's text for a layout, handed to `write` in pieces of about 64 KiB as it is made (a
// layout of 65,536 files is megabytes of text, never held whole).
void encodeLayout(const Layout& layout, const std::function<void(std::string_view)>& write);
// The same text whole.
std::string encodeLayout(const Layout& layout);

// Reads layout.json's text and checks it: the JSON itself (strict: no unknown or repeated keys,
// no trailing bytes), then every field (regions and runs inside the image, runs in order and
// clear of the regions, every byte covered, counts and names within the limits above, paths
// that stay below their folder). Throws "The layout "<where>" ... " with the first fault.
Layout decodeLayout(std::string_view text, const std::string& where);

} // namespace cartscope::core::rebuild
