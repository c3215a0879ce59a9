#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/compress/compress.h"
#include "core/fs/filelist.h"
#include "core/io/stream.h"

// NARC archives: files inside the image's tree that hold a small file system of their own (an
// allocation block BTAF, a name block BTNF in the image's FNT layout, and a data block GMIF).
namespace cartscope::core {

// The archive's layout, shared by its reader and its rebuild: every block starts with an 8-byte
// header; the allocation block's 8-byte entries begin 12 bytes in; the archive's size is the
// 32-bit word at 0x08. Archives inside archives are opened 16 levels deep at most.
inline constexpr std::uint64_t kNarcBlockHeaderSize = 8;
inline constexpr std::uint64_t kNarcEntriesAt = 12;
inline constexpr std::uint64_t kNarcEntrySize = 8;
inline constexpr std::uint64_t kNarcSizeAt = 0x08;
inline constexpr int kNarcMaxDepth = 16;

struct NarcMember {
    std::string path;         // "/a/b.bin"; "/file_0003" when the archive carries no names
    std::uint32_t fileId = 0; // its allocation entry's index
    // In the stream the archive was read from: the image, or for a compressed archive its
    // decompressed bytes (the member then has no offset in the image).
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool compressed = false; // first byte 0x10 or 0x11: LZ-compressed (decompressed to open)
    bool narc = false;       // begins with "NARC": can be opened in turn
    bool sdat = false;       // begins with "SDAT": a sound archive, opened in its own dialog
    std::string problem;     // why it cannot be extracted; empty when it can
};

// A compressed archive's bytes, decompressed and held (at most 64 MiB, the codecs' cap): its
// members are read from here. Held by a shared pointer, so the stream's span stays valid.
struct DecompressedArchive {
    DecompressedArchive(Codec c, std::vector<std::uint8_t> b)
        : codec(c), bytes(std::move(b)), stream(bytes)
    {}
    DecompressedArchive(const DecompressedArchive&) = delete;
    DecompressedArchive& operator=(const DecompressedArchive&) = delete;

    Codec codec;
    std::vector<std::uint8_t> bytes;
    MemoryStream stream; // over `bytes`
};

// A block of an archive as read: from its header to its end, cut at the archive's end; offsets
// from the archive's first byte.
struct NarcBlock {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

struct Narc {
    std::string path; // where it lies: a tree path, or tree path + member path for nested ones
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool named = false;
    std::vector<NarcMember> members;
    NarcBlock allocation;      // BTAF
    NarcBlock data;            // GMIF
    std::uint64_t entries = 0; // allocation entries read: the count, cut to what the block holds
    // What was wrong with the container and how it was read anyway ("the allocation block is
    // cut short: 3 of 9 entries read").
    std::vector<std::string> notes;
    // Set when the archive (or one it lies in) is compressed: members' offsets are in its bytes.
    std::shared_ptr<const DecompressedArchive> decompressed;

    // Where the members' bytes are read from: `image`, or the decompressed bytes.
    const Stream& memberStream(const Stream& image) const
    {
        return decompressed ? decompressed->stream : image;
    }
};

// True for the first byte of an LZ77 (0x10) or LZ11 (0x11) stream.
bool isLzCompressed(std::uint8_t firstByte);

// Reads the archive that occupies `size` bytes of `image` from `offset`. Throws "\"%s\" is not
// a NARC archive" (with `label`) when the magic or a required block is missing. Every count and
// offset is bounded by its block and by the archive; members that do not fit carry a problem.
Narc readNarc(const Stream& image, std::uint64_t offset, std::uint64_t size,
              const std::string& label);

// A file of the tree, or a member of a NARC archive in it, as a path names it, with its content
// read from the image or from the decompressed bytes it lies in.
struct PlacedFile {
    std::string path; // the file's own path: the part of the path asked for that names it
    // Its content in stream(): the decompressed bytes when the file itself is compressed.
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::optional<Codec> codec; // set when the file itself is compressed
    // Where its stored bytes lie: in the image, or in the compressed archive around it.
    std::uint64_t storedOffset = 0;
    std::uint64_t storedSize = 0;
    // Set when the file or an archive it lies in is compressed.
    std::shared_ptr<const DecompressedArchive> decompressed;

    const Stream& stream(const Stream& image) const
    {
        return decompressed ? decompressed->stream : image;
    }
};

// The file `path` names, or the deepest file that leads it as a folder would
// ("/a.narc/b.sdat" for "/a.narc/b.sdat/banks/X.sbnk"): a row of `treeRows`, or a member of a
// NARC archive found that way, archives opened one level at a time. A file (or archive) whose
// bytes carry a plausible compression header is decompressed (the decoder's errors name it).
// The one walk into archives: openNarc and the sound archives use it. Throws "No file \"%s\" in
// the image" or a problem on the way.
PlacedFile placeFile(const Stream& image, const std::vector<FileRow>& treeRows,
                     const std::string& path);

// Opens the archive at `path`: a row of `treeRows`, or a member of an archive found that way
// ("/a.narc/inner.narc"), one level at a time. A level whose bytes carry a plausible compression
// header is decompressed first (the decoder's errors name it). Throws "No file \"%s\" in the
// image", "\"%s\" is not a NARC archive", or the member's problem.
Narc openNarc(const Stream& image, const std::vector<FileRow>& treeRows, const std::string& path);

// The members as list rows (offset in the member stream, 8 hex digits), carrying problems.
std::vector<FileRow> narcRows(const Narc& narc);

// The folder an archive is extracted into: its file name without the extension.
std::string narcFolderName(const std::string& path);

} // namespace cartscope::core
