// A tree with edits: files packed again, the regions placed by the edit plan, and the header,
// allocation table and banner made to follow.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/checksum/digest.h"
#include "core/fs/system_files.h"
#include "core/io/open_below.h"
#include "core/io/stream.h"
#include "core/io/whole_file.h"
#include "core/rebuild/builder.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/recompress.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild::building {

// The edited decompressed files packed again, and the overlay tables' entries for the
// overlays among them.
void Builder::repackEdited()
{
    if (m_repack.empty())
        return;
    std::uint32_t arm9Ram = 0;
    for (std::size_t i = 0; i < m_layout.regions.size(); ++i) {
        const Region& r = m_layout.regions[i];
        if (r.kind == RegionKind::Header)
            arm9Ram = decodeHeader(RawHeader::fromBytes(readRegionFile(
                                       r, m_newSize[i].value_or(r.size), kRawHeaderSize)))
                          .ds.Arm9RamAddress;
    }
    struct Packed {
        std::uint32_t fileId;
        bool packed;
        std::uint64_t size;
    };
    std::vector<Packed> overlays;
    for (const std::size_t i : m_repack) {
        interruptPoint();
        const Region& r = m_layout.regions[i];
        const std::vector<std::uint8_t> data = readRegionFile(r, *m_newSize[i], maxRepackInput(r));
        Repacked p = repack(r, data, arm9Ram, m_options.vramSafe, m_tree + "/" + r.path);
        if (r.kind == RegionKind::Overlay)
            overlays.push_back({r.id, p.packed, p.bytes.size()});
        m_newSize[i] = p.bytes.size();
        m_made[i] = std::move(p.bytes);
    }
    for (std::size_t t = 0; t < m_layout.regions.size() && !overlays.empty(); ++t) {
        const Region& r = m_layout.regions[t];
        if (r.kind != RegionKind::Arm9OverlayTable && r.kind != RegionKind::Arm7OverlayTable)
            continue;
        std::vector<std::uint8_t> table =
            readRegionFile(r, m_newSize[t].value_or(r.size), kMaxOverlayTableBytes);
        bool changed = false;
        for (const Packed& o : overlays)
            changed |= setOverlayPacking(table, o.fileId, o.packed, o.size);
        if (!changed)
            continue;
        if (!m_newSize[t])
            ++m_edited;
        m_newSize[t] = table.size();
        m_made[t] = std::move(table);
    }
}

// A region whose bytes are not its tree file's: made here (packed again, a table that
// follows), or a decompressed file's original bytes. Returns whether it was one.
bool Builder::writeInstead(std::size_t i, std::uint64_t offset, Output& image)
{
    if (const auto made = m_made.find(i); made != m_made.end()) {
        writeAt(image.fd(), made->second, offset, image.path());
        return true;
    }
    if (!m_layout.regions[i].decompressed)
        return false;
    copyOriginal(m_layout.regions[i], offset, image); // unchanged, laid out again
    return true;
}

std::vector<std::uint8_t> Builder::readRegionFile(const Region& r, std::uint64_t size,
                                                  std::uint64_t limit)
{
    const std::string full = m_tree + "/" + r.path;
    if (size > limit)
        throw Error("The file \"" + full + "\" is larger than " + std::to_string(limit) + " bytes");
    const UniqueFd fd = openBelow(m_tree, r.path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    DescriptorStream(fd.get(), size, "file \"" + full + "\"").readExact(0, bytes);
    return bytes;
}

// The fill of the image's gaps: the run that pads the image at its end, else 0xFF.
std::uint8_t Builder::gapFill() const
{
    if (!m_layout.runs.empty()) {
        const Run& last = m_layout.runs.back();
        if (last.fill && last.offset + last.size == m_layout.imageSize)
            return *last.fill;
    }
    return 0xFF;
}

// A tree with edits (or laid out again): the plan decides where each region goes; the gaps
// are written first, the freed bytes over them, then the regions, then the tables.
void Builder::writeEdited(Output& image, BuildResult& result)
{
    std::vector<EditRegion> regions(m_layout.regions.size());
    std::optional<std::size_t> header, fat;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = m_layout.regions[i];
        regions[i] = {r.kind, idAfter(i), r.offset, r.size, m_newSize[i]};
        if (r.kind == RegionKind::Header)
            header = i;
        if (r.kind == RegionKind::Fat)
            fat = i;
    }
    if (!header)
        throw Error("The layout of \"" + m_tree + "\" has no header");
    const Region& headerRegion = m_layout.regions[*header];
    const std::vector<std::uint8_t> headerIn = readRegionFile(
        headerRegion, m_newSize[*header].value_or(headerRegion.size), kRawHeaderSize);
    const HeaderRecord record = decodeHeader(RawHeader::fromBytes(headerIn));
    EditPlan plan =
        planEdits(regions, m_layout.imageSize, record.ds.TotalUsedRomSize, m_options.compact);
    const std::vector<std::uint8_t> original =
        m_newSize[*header] ? std::vector<std::uint8_t>{} : headerIn;
    std::vector<std::uint8_t> headerOut = followHeader(original, headerIn, regions, plan);
    // A Download Play signature stays right after the used size.
    const std::uint64_t oldUsed = trimUsedSize(record);
    const std::uint64_t newUsed = trimUsedSize(decodeHeader(RawHeader::fromBytes(headerOut)));
    const auto block = downloadPlayBlock(oldUsed);
    const bool blockMoves = block && moveDownloadPlayBlock(plan, oldUsed, newUsed);
    if (blockMoves) // the image may have grown past the capacity the header names
        headerOut = followHeader(original, headerIn, regions, plan);
    writeGapsAndFreed(image, plan);
    std::vector<ByteRange> changed = changedRanges(regions, plan);
    writePlaced(image, plan, *header, fat);
    if (blockMoves) {
        writeAt(image.fd(), *block, newUsed, image.path());
        changed.push_back({oldUsed, block->size()});
        changed.push_back({newUsed, block->size()});
    }
    if (fat)
        writeAllocation(image, regions, plan, *fat, changed);
    const std::vector<ByteRange> headerChanges = differences(original, headerOut, 0);
    changed.insert(changed.end(), headerChanges.begin(), headerChanges.end());
    writeAt(image.fd(),
            std::span(headerOut).first(std::min<std::size_t>(headerOut.size(), plan.imageSize)), 0,
            image.path());
    if (auto warning = signedRegionWarning(headerIn, m_layout.imageSize, changed))
        result.warnings.push_back(*warning);
    result.bytes = plan.imageSize;
}

void Builder::writeGapsAndFreed(Output& image, const EditPlan& plan)
{
    const std::uint8_t fill = gapFill();
    if (::ftruncate(image.fd(), static_cast<off_t>(plan.imageSize)) != 0)
        throw Error(cannotWriteMessage(image.path(), errno));
    writeRuns(image, plan.imageSize);
    for (const ByteRange& f : plan.freed) {
        interruptPoint();
        fillAt(image.fd(), fill, f.offset, f.size, image.path());
    }
}

void Builder::writePlaced(Output& image, const EditPlan& plan, std::size_t header,
                          std::optional<std::size_t> fat)
{
    const int fd = image.fd();
    for (std::size_t i = 0; i < m_layout.regions.size(); ++i) {
        const Region& r = m_layout.regions[i];
        const Placement& p = plan.placed[i];
        if (i == header || (fat && i == *fat) || removed(i))
            continue;
        if (r.kind == RegionKind::Fnt && m_renames) {
            writeAt(fd, m_renames->nameTable, p.offset, image.path());
            continue;
        }
        if (inLayoutFolder(r.kind)) {
            copyLayoutFile(r.path, r.size, p.offset, image);
            continue;
        }
        if (!m_newSize[i] && !m_options.compact)
            continue; // written where it was during the walk
        interruptPoint();
        if (writeInstead(i, p.offset, image))
            continue;
        if (r.kind == RegionKind::Banner && m_newSize[i] && !m_options.keepBannerCrcs) {
            std::vector<std::uint8_t> banner = readRegionFile(r, p.size, kMaxBannerBytes);
            setBannerCrcs(banner);
            writeAt(fd, banner, p.offset, image.path());
            continue;
        }
        const UniqueFd in = openBelow(m_tree, r.path);
        if (!copyInto(in.get(), fd, p.offset, p.size, image.path()))
            throw Error("The file \"" + m_tree + "/" + r.path +
                        "\" changed while the image was built");
    }
}

void Builder::writeAllocation(Output& image, std::span<const EditRegion> regions,
                              const EditPlan& plan, std::size_t fat,
                              std::vector<ByteRange>& changed)
{
    const std::uint64_t at = plan.placed[fat].offset;
    if (m_renames) {
        const std::vector<std::uint8_t> table = allocationAfter(
            m_oldFat, *m_renames, std::span(m_layout.regions).first(m_layoutCount), regions, plan);
        changed.push_back({at, table.size()});
        writeAt(image.fd(), table, at, image.path());
        return;
    }
    std::vector<std::uint8_t> table = readLayoutBytes(m_layout.regions[fat], kMaxFatBytes);
    if (followAllocation(table, regions, plan))
        changed.push_back({at, table.size()});
    writeAt(image.fd(), table, at, image.path());
}

// The image's bytes at [offset, offset + size) when the runs outside the regions hold them
// all; nothing when a region holds any of them.
std::optional<std::vector<std::uint8_t>> Builder::runBytes(std::uint64_t offset, std::uint64_t size)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    std::uint64_t at = offset;
    const std::uint64_t end = offset + size;
    // Bounded by the runs, which are in order and apart (the layout's check).
    for (const Run& r : m_layout.runs) {
        if (at == end)
            break;
        if (r.offset + r.size <= at)
            continue;
        if (r.offset > at)
            return std::nullopt;
        const std::uint64_t take = std::min(end, r.offset + r.size) - at;
        const auto into = std::span(bytes).subspan(static_cast<std::size_t>(at - offset),
                                                   static_cast<std::size_t>(take));
        if (r.fill) {
            std::fill(into.begin(), into.end(), *r.fill);
        } else {
            const UniqueFd fd = openLayoutFile(r.file, r.size);
            DescriptorStream(fd.get(), r.size, "file \"" + m_layoutPath + "/" + r.file + "\"")
                .readExact(at - r.offset, into);
        }
        at += take;
    }
    if (at != end)
        return std::nullopt;
    return bytes;
}

// The Download Play signature block right after the old used size, when the gaps hold one.
std::optional<std::vector<std::uint8_t>> Builder::downloadPlayBlock(std::uint64_t used)
{
    if (used > m_layout.imageSize || kDownloadPlayBlockSize > m_layout.imageSize - used)
        return std::nullopt;
    auto block = runBytes(used, kDownloadPlayBlockSize);
    if (!block || !opensDownloadPlayBlock(*block))
        return std::nullopt;
    return block;
}

} // namespace cartscope::core::rebuild::building
