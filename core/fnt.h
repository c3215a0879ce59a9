#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/stream.h"

namespace cartscope::core {

// One named file met in a sub-table.
struct TFileEntry {
    std::string Name;        // name bytes up to the first zero byte (at most 127), unconverted
    std::string StartOffset; // FAT start, 8 upper-case hex digits
    std::string EndOffset;   // FAT end, same form
    std::int32_t Size = 0;   // end - start; zero or negative when the FAT says so
    std::int32_t DirIndex = 0;
};

// One directory met in a sub-table (the root has none).
struct TDirEntry {
    std::string Name;
    std::string DirID;    // ID AND 0xFFF, decimal
    std::string ParentID; // parent field AND 0xFFF, decimal; "0" is the root
};

// Walks the file name table at fntPosition and the allocation table at fatPosition, appending
// to the two arrays (which must be empty). Bounded whatever the bytes say; see fnt.cpp.
// `fntSizeHint` (the header's FNT size) only says how much of the table to read in one go; the
// result never depends on it.
void ParseFNT(Stream& image, std::uint64_t fntPosition, std::uint64_t fatPosition,
              std::vector<TFileEntry>& files, std::vector<TDirEntry>& dirs,
              std::uint64_t fntSizeHint = 0);

// The longest path shown in full (Linux's PATH_MAX). A longer one is cut at the end and marked
// with a visible "…" (see capPath); such a path is never used to create anything.
inline constexpr std::size_t kMaxPathBytes = 4096;

// Cuts `path` to kMaxPathBytes, ending it with "…" (at a UTF-8 character boundary); returns
// whether it was cut. A path within the bound is left as it is.
bool capPath(std::string& path);

// Full path ("/a/b/") of the directory with that DirID text; empty when none has it. The last
// entry with that DirID is taken. A parent that no entry has gives "Name/" (no leading "/"); a
// cycle gives "/" + the names met + "/"; a path past kMaxPathBytes is cut (see fnt.cpp).
std::string GetDirNameForDirID(const std::vector<TDirEntry>& dirs, const std::string& dirId);

// The same lookup, indexed once for many queries (the file list asks for every directory).
// Holds a reference to `dirs`, which must outlive it unchanged.
class DirPaths {
public:
    explicit DirPaths(const std::vector<TDirEntry>& dirs);
    struct Resolved {
        std::string path;
        bool cut = false; // longer than kMaxPathBytes: cut and marked
    };
    Resolved resolve(const std::string& dirId) const;
    std::string path(const std::string& dirId) const;

private:
    static constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
    static constexpr std::size_t kRootParent = static_cast<std::size_t>(-2);
    const std::vector<TDirEntry>& m_dirs;
    std::unordered_map<std::string, std::size_t> m_byId;
    std::vector<std::size_t> m_parent; // entry index, kNoParent or kRootParent
};

} // namespace cartscope::core
