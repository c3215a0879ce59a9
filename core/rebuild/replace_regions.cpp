#include "core/rebuild/replace_regions.h"

#include <algorithm>

#include "core/base/error.h"
#include "core/fs/fnt.h"
#include "core/fs/system_files.h"
#include "core/image/header.h"
#include "core/image/raw_header.h"
#include "core/rebuild/layout_writer.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::uint64_t kMaxFatBytes = 65536 * 8;

} // namespace

ImageRegions regionsOf(const Stream& image)
{
    ImageRegions out;
    out.header = decodeHeader(RawHeader::read(image));
    const std::uint64_t size = image.size();
    const auto clamped = [&](RegionKind kind, std::uint64_t offset, std::uint64_t length) {
        EditRegion r;
        r.kind = kind;
        r.offset = std::min(offset, size);
        r.size = std::min(length, size - r.offset);
        return r;
    };
    for (const SystemFile& f : systemFiles(image, out.header)) {
        if (!f.problem.empty())
            continue;
        EditRegion r = clamped(regionKindOf(f.kind), f.offset, f.size);
        r.id = f.kind == SystemFileKind::Overlay ? f.fileId : 0;
        out.byPath.emplace("/" + std::string(kSystemFolder) + "/" + f.name, out.regions.size());
        out.regions.push_back(r);
    }
    const TNDSHeader& ds = out.header.ds;
    out.regions.push_back(clamped(RegionKind::Fnt, headerOffsetPosition(ds.FntOffset), ds.FntSize));
    out.fat = out.regions.size();
    out.regions.push_back(clamped(RegionKind::Fat, headerOffsetPosition(ds.FatOffset),
                                  std::min<std::uint64_t>(ds.FatSize, kMaxFatBytes)));
    std::vector<TFileEntry> files;
    std::vector<TDirEntry> dirs;
    ParseFNT(image, headerOffsetPosition(ds.FntOffset), headerOffsetPosition(ds.FatOffset), files,
             dirs, ds.FntSize);
    forEachRow(files, dirs, [&](const FileRow& row) {
        if (row.pathTooLong || row.size < 0 || row.offset > size ||
            static_cast<std::uint64_t>(row.size) > size - row.offset)
            return;
        EditRegion r;
        r.kind = RegionKind::File;
        r.id = row.fileId;
        r.offset = row.offset;
        r.size = static_cast<std::uint64_t>(row.size);
        out.byPath.emplace(row.path, out.regions.size());
        out.regions.push_back(r);
        out.rows.push_back(row);
    });
    return out;
}

std::size_t regionNamed(const ImageRegions& x, const std::string& path)
{
    const auto it = x.byPath.find(path);
    if (it == x.byPath.end())
        throw Error("The image has no file \"" + path + "\" that can be replaced");
    return it->second;
}

const FileRow& rowOf(const ImageRegions& x, std::size_t region)
{
    return x.rows[region - (x.regions.size() - x.rows.size())];
}

std::optional<MemberPath> memberPath(const ImageRegions& x, const std::string& path)
{
    // Bounded by the path's slashes.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const auto it = x.byPath.find(path.substr(0, slash));
        if (it != x.byPath.end() && x.regions[it->second].kind == RegionKind::File)
            return MemberPath{it->second, path.substr(slash)};
    }
    return std::nullopt;
}

} // namespace cartscope::core::rebuild
