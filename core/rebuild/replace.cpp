#include "core/rebuild/replace.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/base/error.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/fs/system_files.h"
#include "core/image/header_record.h"
#include "core/rebuild/build.h"
#include "core/rebuild/edit_plan.h"

namespace cartscope::core::rebuild {

namespace {

// A banner is read whole to set its CRC-16s; the animated one is 0x23C0 bytes, a DSi banner
// size word may say more, nothing real says a megabyte.
constexpr std::uint64_t kMaxBannerBytes = 1 << 20;
constexpr std::uint64_t kMaxFatBytes = 65536 * 8;

RegionKind regionKindOf(SystemFileKind kind)
{
    switch (kind) {
    case SystemFileKind::Header:
        return RegionKind::Header;
    case SystemFileKind::Arm9:
        return RegionKind::Arm9;
    case SystemFileKind::Arm7:
        return RegionKind::Arm7;
    case SystemFileKind::Arm9i:
        return RegionKind::Arm9i;
    case SystemFileKind::Arm7i:
        return RegionKind::Arm7i;
    case SystemFileKind::Arm9OverlayTable:
        return RegionKind::Arm9OverlayTable;
    case SystemFileKind::Arm7OverlayTable:
        return RegionKind::Arm7OverlayTable;
    case SystemFileKind::Overlay:
        return RegionKind::Overlay;
    case SystemFileKind::Banner:
        break;
    }
    return RegionKind::Banner;
}

// The image's regions and the path `list` shows for each that can be replaced.
struct ImageRegions {
    HeaderRecord header;
    std::vector<EditRegion> regions;
    std::map<std::string, std::size_t> byPath;
    std::size_t fat = 0; // the allocation table's region
};

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

std::vector<std::uint8_t> readBytes(const Stream& s, std::uint64_t offset, std::uint64_t size)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    s.readExact(offset, bytes);
    return bytes;
}

// One stretch of the new image that does not come from the same place in the old one.
struct Piece {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::optional<std::uint8_t> fill;
    const Stream* stream = nullptr; // from its byte 0
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
};

// Writes the new image in order: each stretch from the last piece that covers it, the rest from
// the old image at the same place (or the gap fill past its end).
void writePieces(const Stream& image, std::uint64_t imageSize, std::uint8_t gapFill,
                 const std::vector<Piece>& pieces, OutputFile& out, const Checkpoint& checkpoint)
{
    std::vector<std::uint64_t> cuts{0, imageSize};
    for (const Piece& p : pieces) {
        cuts.push_back(std::min(p.offset, imageSize));
        cuts.push_back(std::min(p.offset + p.size, imageSize));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    // Bounded by the pieces: two cuts each, and each stretch looks at every piece once.
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        const std::uint64_t at = cuts[k];
        const std::uint64_t length = cuts[k + 1] - at;
        const Piece* from = nullptr;
        for (const Piece& p : pieces)
            if (p.offset <= at && at < p.offset + p.size)
                from = &p;
        if (!from) {
            const std::uint64_t old = at < image.size() ? std::min(length, image.size() - at) : 0;
            out.copyFrom(image, at, old, checkpoint);
            out.fill(gapFill, length - old, checkpoint);
        } else if (from->fill) {
            out.fill(*from->fill, length, checkpoint);
        } else if (from->stream) {
            out.copyFrom(*from->stream, at - from->offset, length, checkpoint);
        } else {
            out.write(std::span(*from->bytes).subspan(static_cast<std::size_t>(at - from->offset),
                                                      static_cast<std::size_t>(length)));
        }
    }
}

// The image's gaps: the padding after the used area when the image has one, else 0xFF.
std::uint8_t gapFillOf(const Stream& image, std::uint64_t usedEnd)
{
    std::uint8_t last = 0xFF;
    if (image.size() > usedEnd)
        image.readExact(image.size() - 1, std::span(&last, 1));
    return last;
}

} // namespace

std::uint64_t replaceableSize(const Stream& image, const std::string& path)
{
    const ImageRegions x = regionsOf(image);
    return x.regions[regionNamed(x, path)].size;
}

ReplaceResult replaceFiles(const Stream& image, std::span<const Replacement> replacements,
                           OutputFile& out, const ReplaceOptions& options)
{
    const Checkpoint checkpoint = [&] {
        if (options.interrupted && options.interrupted())
            throw BuildInterrupted();
    };
    ImageRegions x = regionsOf(image);
    std::vector<std::unique_ptr<FileStream>> sources(x.regions.size());
    for (const Replacement& r : replacements) {
        const std::size_t i = regionNamed(x, r.path);
        if (sources[i])
            throw Error("The file \"" + r.path + "\" is replaced twice");
        sources[i] = std::make_unique<FileStream>(r.source);
        if (sources[i]->size() > kMaxImageSize)
            throw Error("The file \"" + r.source + "\" is larger than 4 GiB");
        x.regions[i].newSize = sources[i]->size();
    }
    const std::uint64_t used = x.header.ds.TotalUsedRomSize;
    const EditPlan plan = planEdits(x.regions, image.size(), used, false);
    std::uint64_t oldEnd = 0;
    for (const EditRegion& r : x.regions)
        oldEnd = std::max(oldEnd, r.offset + r.size);
    const std::uint8_t gapFill = gapFillOf(image, std::max<std::uint64_t>(oldEnd, used));

    std::vector<Piece> pieces;
    for (const ByteRange& f : plan.freed)
        pieces.push_back({f.offset, f.size, gapFill, nullptr, nullptr});
    std::vector<std::uint8_t> editedHeader;
    for (std::size_t i = 0; i < x.regions.size(); ++i) {
        if (!sources[i])
            continue;
        const Placement& p = plan.placed[i];
        if (x.regions[i].kind == RegionKind::Header) {
            editedHeader = readBytes(*sources[i], 0, p.size);
        } else if (x.regions[i].kind == RegionKind::Banner && !options.keepBannerCrcs) {
            if (p.size > kMaxBannerBytes)
                throw Error("The new banner is larger than 1 MiB");
            auto banner = std::make_shared<std::vector<std::uint8_t>>(readBytes(*sources[i], 0, p.size));
            setBannerCrcs(*banner);
            pieces.push_back({p.offset, p.size, std::nullopt, nullptr, std::move(banner)});
        } else {
            pieces.push_back({p.offset, p.size, std::nullopt, sources[i].get(), nullptr});
        }
    }
    // The header block as the image holds it (what is missing reads as zero, as decoded).
    std::vector<std::uint8_t> original(headerBlockSize(x.header), 0);
    image.pread(0, original);
    if (editedHeader.empty())
        editedHeader = original;
    auto header = std::make_shared<std::vector<std::uint8_t>>(
        followHeader(original, editedHeader, x.regions, plan));
    std::vector<ByteRange> changed = changedRanges(x.regions, plan);
    const std::vector<ByteRange> headerChanges = differences(original, *header, 0);
    changed.insert(changed.end(), headerChanges.begin(), headerChanges.end());
    if (!headerChanges.empty())
        pieces.push_back({0, std::min<std::uint64_t>(header->size(), plan.imageSize), std::nullopt,
                          nullptr, header});
    const EditRegion& fatRegion = x.regions[x.fat];
    auto fat = std::make_shared<std::vector<std::uint8_t>>(
        readBytes(image, fatRegion.offset, fatRegion.size));
    if (followAllocation(*fat, x.regions, plan)) {
        changed.push_back({plan.placed[x.fat].offset, fat->size()});
        pieces.push_back({plan.placed[x.fat].offset, fat->size(), std::nullopt, nullptr, fat});
    }

    writePieces(image, plan.imageSize, gapFill, pieces, out, checkpoint);
    ReplaceResult result;
    result.bytes = plan.imageSize;
    if (auto warning = signedRegionWarning(original, image.size(), changed))
        result.warnings.push_back(*warning);
    return result;
}

} // namespace cartscope::core::rebuild
