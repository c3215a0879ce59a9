#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/filelist.h"
#include "core/image/header_record.h"
#include "core/io/stream.h"
#include "core/rebuild/edit_plan.h"

// The regions of an image that `replace` can give new bytes, found by the path `list` shows.
namespace cartscope::core::rebuild {

struct ImageRegions {
    HeaderRecord header;
    std::vector<EditRegion> regions;
    std::map<std::string, std::size_t> byPath;
    std::size_t fat = 0;       // the allocation table's region
    std::vector<FileRow> rows; // the tree's rows (the last regions), for the archives in them
};

// The system files, the name and allocation tables and the tree's files; regions are cut at
// the image's end, files that leave it are not replaceable.
ImageRegions regionsOf(const Stream& image);

// The region `path` names; throws the user's message naming it when there is none.
std::size_t regionNamed(const ImageRegions& x, const std::string& path);

// The tree file's row of a file region.
const FileRow& rowOf(const ImageRegions& x, std::size_t region);

// A member of an archive of the tree: "/a/b.narc/c.bin" is the archive "/a/b.narc" (a file of
// the tree) and its member "/c.bin"; deeper paths name members of archives inside it.
struct MemberPath {
    std::size_t archive; // the archive's region
    std::string member;
};
std::optional<MemberPath> memberPath(const ImageRegions& x, const std::string& path);

} // namespace cartscope::core::rebuild
