#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/io/stream.h"

namespace cartscope::core {

// One named file met in a sub-table.
struct TFileEntry {
    std::string Name; // name bytes up to the first zero byte (at most 127), unconverted
    std::uint32_t StartOffset = 0; // allocation entry: first byte
    std::uint32_t EndOffset = 0;   // allocation entry: first byte after
    std::int32_t Size = 0;         // end - start; zero or negative when the FAT says so
    // The main-table index of the sub-table that lists the file (0 is the root's). The file's
    // folder is the directory entry whose DirID equals it (see folderIdOf).
    std::int32_t DirIndex = 0;
    // The file's ID: its allocation entry's index (the sub-table's first file ID plus the
    // files named before it there).
    std::uint32_t FileId = 0;
};

// One directory met in a sub-table (the root has none).
struct TDirEntry {
    std::string Name;
    std::uint16_t DirID = 0;    // the entry's ID AND 0xFFF: its main-table index
    std::uint16_t ParentID = 0; // parent field of that main-table entry AND 0xFFF; 0 is the root
};

// Directory IDs are the low 12 bits of the table's IDs: 4096 values, 0 the root.
inline constexpr std::size_t kDirIdCount = 0x1000;

// The rule that joins files to folders: a file lies in the directory whose DirID equals the
// main-table index of its sub-table. A directory's ID is reduced to 12 bits and an index never
// reaches 4096, so the two meet exactly while the ID's low 12 bits equal the index. Returns the
// DirID the file's folder must carry; none for an index no DirID can equal.
inline std::optional<std::uint16_t> folderIdOf(const TFileEntry& file)
{
    if (file.DirIndex < 0 || static_cast<std::size_t>(file.DirIndex) >= kDirIdCount)
        return std::nullopt;
    return static_cast<std::uint16_t>(file.DirIndex);
}

// The most of a file-name table a walk can examine in one run: the main table (4096 entries of
// 8 bytes), then every entry at its longest (type byte, 127-byte name, directory ID) for 65536
// files and 4095 directories. A table is held in memory up to this; a sub-table at a far offset
// is read by position instead.
inline constexpr std::uint64_t kNameTableReadAhead = 8 * 0x1000 + (65536 + 4095) * (1 + 127 + 2);

// A file-name table's bytes as the walk reads them, counted from the table's first byte (the
// sub-table offsets count from there). `held` is walked in memory. A table that is exactly its
// bytes (a NARC's name block held whole) has no `rest`: a read past them delivers nothing. A
// table held only in part gives the whole table as `rest`, a stream whose byte 0 is the table's
// first byte, read by position where `held` does not reach: an image's table has no size of its
// own (the header's FNT size field only says how much to read in one go), so a sub-table may
// lie anywhere after it.
struct NameTableBytes {
    std::span<const std::uint8_t> held;
    const Stream* rest = nullptr;
};

// The allocation entries from file ID 0, 8 bytes each (start, then end). A byte past `held`
// reads as `missing`.
struct AllocationBytes {
    std::span<const std::uint8_t> held;
    std::uint8_t missing = 0x00;
};

// Walks a name table and looks up each file met in the allocation table, appending to the two
// arrays (which must be empty). Bounded whatever the bytes say; see fnt.cpp.
void walkTables(const NameTableBytes& fnt, const AllocationBytes& fat,
                std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs);

// The image's tables: the file name table at fntPosition and the allocation table at
// fatPosition, each read in one piece and walked as walkTables does (an allocation entry the end
// of the image cuts short reads its missing bytes as zero). `fntSizeHint` (the header's FNT
// size) only says how much of the name table to read in one go; the result never depends on it.
void ParseFNT(const Stream& image, std::uint64_t fntPosition, std::uint64_t fatPosition,
              std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs,
              std::uint64_t fntSizeHint = 0);

// The longest path shown in full (Linux's PATH_MAX). A longer one is cut at the end and marked
// with a visible "…" (see capPath); such a path is never used to create anything.
inline constexpr std::size_t kMaxPathBytes = 4096;

// Cuts `path` to kMaxPathBytes, ending it with "…" (at a UTF-8 character boundary); returns
// whether it was cut. A path within the bound is left as it is.
bool capPath(std::string& path);

// Full path ("/a/b/") of the directory with that DirID; empty when none has it. The last
// entry with that DirID is taken. A parent that no entry has gives "Name/" (no leading "/"); a
// cycle gives "/" + the names met + "/"; a path past kMaxPathBytes is cut (see fnt.cpp).
std::string GetDirNameForDirID(const std::vector<TDirEntry>& dirs, std::uint16_t dirId);

// The same lookup, indexed once for many queries (the file list asks for every directory).
// Holds a reference to `dirs`, which must outlive it unchanged.
class DirPaths {
public:
    explicit DirPaths(const std::vector<TDirEntry>& dirs);
    struct Resolved {
        std::string path;
        bool cut = false; // longer than kMaxPathBytes: cut and marked
    };
    Resolved resolve(std::uint16_t dirId) const;
    std::string path(std::uint16_t dirId) const;

private:
    static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
    static constexpr std::size_t kRootParent = static_cast<std::size_t>(-2);
    const std::vector<TDirEntry>& m_dirs;
    std::vector<std::size_t> m_byId;   // entry index by DirID (kDirIdCount slots), or kNoParent
    std::vector<std::size_t> m_parent; // entry index, kNoParent or kRootParent
};

} // namespace cartscope::core
