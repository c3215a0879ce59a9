#include "core/rebuild/edit_plan.h"

#include <algorithm>
#include <map>

#include "core/banner/banner_record.h"
#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/crc16.h"
#include "core/io/stream.h"
#include "core/rebuild/shared_ranges.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::uint64_t kMaxAlignment = 0x200;
constexpr std::uint64_t kFatEntrySize = 8;
// Capacity n means 128 KiB << n; the field is a byte, and no cartridge passes 4 GiB.
constexpr std::uint64_t kCapacityUnit = 128 * 1024;
constexpr std::uint8_t kMaxCapacity = 15;

std::uint64_t alignUp(std::uint64_t at, std::uint64_t alignment)
{
    return (at + alignment - 1) / alignment * alignment;
}

bool isFile(RegionKind kind)
{
    return kind == RegionKind::File || kind == RegionKind::Overlay;
}

std::uint64_t endOf(const EditRegion& r)
{
    return r.offset + r.size;
}

// Merged, sorted ranges.
std::vector<ByteRange> unionOf(std::vector<ByteRange> ranges)
{
    std::sort(ranges.begin(), ranges.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    std::vector<ByteRange> out;
    for (const ByteRange& r : ranges) {
        if (r.size == 0)
            continue;
        if (!out.empty() && r.offset <= out.back().offset + out.back().size) {
            const std::uint64_t end =
                std::max(out.back().offset + out.back().size, r.offset + r.size);
            out.back().size = end - out.back().offset;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

// `r` minus every range of `kept` (sorted, apart), appended to `out`.
void subtract(ByteRange r, const std::vector<ByteRange>& kept, std::vector<ByteRange>& out)
{
    std::uint64_t at = r.offset;
    const std::uint64_t end = r.offset + r.size;
    auto it =
        std::upper_bound(kept.begin(), kept.end(), at,
                         [](std::uint64_t v, const ByteRange& k) { return v < k.offset + k.size; });
    // Bounded by the kept ranges: each step passes one.
    for (; it != kept.end() && it->offset < end && at < end; ++it) {
        if (it->offset > at)
            out.push_back({at, it->offset - at});
        at = std::max(at, it->offset + it->size);
    }
    if (at < end)
        out.push_back({at, end - at});
}

// Which regions share a byte with another region.
std::vector<bool> sharedRegions(std::span<const EditRegion> regions)
{
    std::vector<ByteRange> ranges;
    ranges.reserve(regions.size());
    for (const EditRegion& r : regions)
        ranges.push_back({r.offset, r.size});
    return sharedRanges(ranges);
}

void checkHeader(const EditRegion& r)
{
    if (r.kind == RegionKind::Header && r.newSize && *r.newSize != r.size)
        throw Error("header.bin must stay " + std::to_string(r.size) + " bytes long, not " +
                    std::to_string(*r.newSize));
}

void finish(EditPlan& plan, std::span<const EditRegion> regions, std::uint64_t imageSize,
            std::uint64_t usedSize, std::uint64_t fillFrom, bool trimmed)
{
    std::uint64_t used = usedSize;
    std::vector<ByteRange> placedRanges;
    placedRanges.reserve(regions.size());
    for (const Placement& p : plan.placed) {
        used = std::max(used, p.offset + p.size);
        placedRanges.push_back({p.offset, p.size});
    }
    plan.usedEnd = used;
    plan.imageSize = trimmed ? std::max(used, fillFrom) : std::max(imageSize, used);
    if (plan.imageSize > kMaxImageSize)
        throw Error("The image would grow past 4 GiB");
    const std::vector<ByteRange> kept = unionOf(std::move(placedRanges));
    std::vector<ByteRange> candidates;
    for (std::size_t i = 0; i < regions.size(); ++i)
        if (regions[i].newSize || plan.placed[i].moved)
            candidates.push_back({regions[i].offset, regions[i].size});
    // Past the old image, and (compact) everything above the part that stays.
    if (plan.imageSize > fillFrom)
        candidates.push_back({fillFrom, plan.imageSize - fillFrom});
    std::vector<ByteRange> freed;
    for (const ByteRange& c : unionOf(std::move(candidates)))
        subtract(c, kept, freed);
    for (ByteRange& f : freed)
        if (f.offset + f.size > plan.imageSize)
            f.size = f.offset < plan.imageSize ? plan.imageSize - f.offset : 0;
    plan.freed = unionOf(std::move(freed));
}

EditPlan planCompact(std::span<const EditRegion> regions, std::uint64_t imageSize,
                     std::uint64_t usedSize, std::uint64_t oldEnd)
{
    EditPlan plan;
    plan.alignment = fileAlignment(regions);
    plan.placed.resize(regions.size());
    std::uint64_t cursor = 0;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const EditRegion& r = regions[i];
        const std::uint64_t size = r.newSize.value_or(r.size);
        if (r.kind == RegionKind::Header || r.kind == RegionKind::Arm9) {
            plan.placed[i] = {r.offset, size, false};
            cursor = std::max(cursor, r.offset + size);
        } else {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return regions[a].offset < regions[b].offset;
    });
    // The secure area and the header's copies end at 0x8000: what lies below stays.
    cursor = std::max(cursor, kMinImageSize);
    const std::uint64_t keepBelow = cursor;
    // Identical old ranges with old bytes stay one range.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> once;
    for (std::size_t i : order) {
        const EditRegion& r = regions[i];
        const std::uint64_t size = r.newSize.value_or(r.size);
        if (!r.newSize && r.size) {
            const auto it = once.find({r.offset, r.size});
            if (it != once.end()) {
                plan.placed[i] = {it->second, size, it->second != r.offset};
                continue;
            }
        }
        const std::uint64_t at = size || isFile(r.kind) ? alignUp(cursor, plan.alignment) : cursor;
        plan.placed[i] = {at, size, at != r.offset};
        if (!r.newSize && r.size)
            once.emplace(std::make_pair(r.offset, r.size), at);
        cursor = at + size;
        if (cursor > kMaxImageSize)
            throw Error("The image would grow past 4 GiB");
    }
    // A padded image keeps its size; a trimmed one ends where the files now end.
    const bool trimmed = imageSize <= oldEnd;
    finish(plan, regions, imageSize, std::min(usedSize, cursor), keepBelow, trimmed);
    plan.usedSizeExact = true;
    return plan;
}

} // namespace

std::uint64_t fileAlignment(std::span<const EditRegion> regions)
{
    std::uint64_t a = kMaxAlignment;
    for (const EditRegion& r : regions)
        if (isFile(r.kind))
            while (a > 1 && r.offset % a != 0)
                a >>= 1;
    return a;
}

EditPlan planEdits(std::span<const EditRegion> regions, std::uint64_t imageSize,
                   std::uint64_t usedSize, bool compact)
{
    for (const EditRegion& r : regions)
        checkHeader(r);
    std::uint64_t oldEnd = 0;
    for (const EditRegion& r : regions)
        oldEnd = std::max(oldEnd, endOf(r));
    usedSize = std::min(usedSize, std::max(imageSize, oldEnd));
    if (compact)
        return planCompact(regions, imageSize, usedSize, oldEnd);

    EditPlan plan;
    plan.alignment = fileAlignment(regions);
    plan.placed.resize(regions.size());
    const std::vector<bool> shared = sharedRegions(regions);
    std::vector<std::uint64_t> starts;
    for (const EditRegion& r : regions)
        if (r.size)
            starts.push_back(r.offset);
    std::sort(starts.begin(), starts.end());

    std::vector<std::size_t> movers;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const EditRegion& r = regions[i];
        plan.placed[i] = {r.offset, r.newSize.value_or(r.size), false};
        if (!r.newSize || r.kind == RegionKind::Header)
            continue;
        // The slot runs up to the next used byte; the last region may grow in place.
        const auto next = std::upper_bound(starts.begin(), starts.end(), r.offset);
        const bool fits = next == starts.end() || *r.newSize <= *next - r.offset;
        const bool placeless = r.size == 0 && *r.newSize > 0;
        if (shared[i] || placeless || !fits)
            movers.push_back(i);
    }
    std::sort(movers.begin(), movers.end(),
              [&](std::size_t a, std::size_t b) { return regions[a].offset < regions[b].offset; });
    std::uint64_t cursor = std::max(oldEnd, usedSize);
    for (const EditRegion& r : regions)
        if (r.newSize && r.kind != RegionKind::Header)
            cursor = std::max(cursor, r.offset + *r.newSize);
    for (std::size_t i : movers) {
        const std::uint64_t at = alignUp(cursor, plan.alignment);
        plan.placed[i] = {at, *regions[i].newSize, true};
        cursor = at + *regions[i].newSize;
        if (cursor > kMaxImageSize)
            throw Error("The image would grow past 4 GiB");
    }
    finish(plan, regions, imageSize, usedSize, imageSize, false);
    return plan;
}

bool moveDownloadPlayBlock(EditPlan& plan, std::uint64_t oldAt, std::uint64_t newAt)
{
    if (oldAt == newAt)
        return false;
    const std::uint64_t end = newAt + kDownloadPlayBlockSize;
    if (end > kMaxImageSize)
        throw Error("The image would grow past 4 GiB");
    std::vector<ByteRange> placed;
    placed.reserve(plan.placed.size());
    for (const Placement& p : plan.placed)
        placed.push_back({p.offset, p.size});
    const std::vector<ByteRange> kept = unionOf(std::move(placed));
    std::vector<ByteRange> freed = plan.freed;
    if (oldAt < plan.imageSize)
        subtract({oldAt, std::min<std::uint64_t>(kDownloadPlayBlockSize, plan.imageSize - oldAt)},
                 kept, freed);
    if (end > plan.imageSize) {
        subtract({plan.imageSize, end - plan.imageSize}, kept, freed);
        plan.imageSize = end;
    }
    plan.freed = unionOf(std::move(freed));
    return true;
}

namespace {

// A field that counted a region's old bytes counts the new ones (the ARM9 size leaves out its
// footer, so the difference is what carries over).
std::uint32_t resized(std::uint32_t field, std::uint64_t from, std::uint64_t to)
{
    const std::int64_t v =
        std::int64_t{field} + static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from);
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 0xFFFFFFFF));
}

// The header fields that name where a region lies and how large it is, set to its placement.
void placeInHeader(HeaderRecord& h, const EditRegion& r, const Placement& p)
{
    TNDSHeader& ds = h.ds;
    const auto at = static_cast<std::uint32_t>(p.offset);
    switch (r.kind) {
    case RegionKind::Arm9:
        ds.Arm9RomOffset = at;
        ds.Arm9Size = resized(ds.Arm9Size, r.size, p.size);
        break;
    case RegionKind::Arm7:
        ds.Arm7RomOffset = at;
        ds.Arm7Size = resized(ds.Arm7Size, r.size, p.size);
        break;
    case RegionKind::Arm9i:
        h.dsi.arm9iRomOffset = at;
        h.dsi.arm9iSize = resized(h.dsi.arm9iSize, r.size, p.size);
        break;
    case RegionKind::Arm7i:
        h.dsi.arm7iRomOffset = at;
        h.dsi.arm7iSize = resized(h.dsi.arm7iSize, r.size, p.size);
        break;
    case RegionKind::Arm9OverlayTable:
        ds.Arm9OverlayOffset = at;
        ds.Arm9OverlaySize = static_cast<std::uint32_t>(p.size);
        break;
    case RegionKind::Arm7OverlayTable:
        ds.Arm7OverlayOffset = at;
        ds.Arm7OverlaySize = static_cast<std::uint32_t>(p.size);
        break;
    case RegionKind::Fnt:
        ds.FntOffset = at;
        ds.FntSize = static_cast<std::uint32_t>(p.size);
        break;
    case RegionKind::Fat:
        ds.FatOffset = at;
        ds.FatSize = static_cast<std::uint32_t>(p.size);
        break;
    case RegionKind::Banner:
        ds.BannerOffset = at;
        if (h.dsi.bannerSize != 0)
            h.dsi.bannerSize = static_cast<std::uint32_t>(p.size);
        break;
    case RegionKind::Header:
    case RegionKind::Overlay:
    case RegionKind::File:
        break;
    }
}

} // namespace

std::vector<std::uint8_t> followHeader(std::span<const std::uint8_t> original,
                                       std::span<const std::uint8_t> edited,
                                       std::span<const EditRegion> regions, const EditPlan& plan)
{
    HeaderRecord h = decodeHeader(RawHeader::fromBytes(edited));
    TNDSHeader& ds = h.ds;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const EditRegion& r = regions[i];
        const Placement& p = plan.placed[i];
        if (p.offset != r.offset || p.size != r.size)
            placeInHeader(h, r, p);
    }
    if (plan.usedEnd > ds.TotalUsedRomSize || plan.usedSizeExact)
        ds.TotalUsedRomSize = static_cast<std::uint32_t>(plan.usedEnd);
    if (h.dsi.isDsi && h.dsi.dsiUsedSize != 0 && plan.usedEnd > h.dsi.dsiUsedSize)
        h.dsi.dsiUsedSize = static_cast<std::uint32_t>(plan.usedEnd);
    // Bounded: the capacity stops at kMaxCapacity.
    while (ds.DeviceCapacity < kMaxCapacity &&
           (kCapacityUnit << ds.DeviceCapacity) < plan.imageSize)
        ++ds.DeviceCapacity;
    std::vector<std::uint8_t> block = encodeHeader(h);
    if (std::equal(block.begin(), block.end(), original.begin(), original.end()))
        return block;
    const std::uint16_t crc = crc16::Crc16OfStream(std::span(block).first(kHeaderCrcSpan));
    putLe16(block, kHeaderCrcSpan, crc);
    return block;
}

bool followAllocation(std::vector<std::uint8_t>& fat, std::span<const EditRegion> regions,
                      const EditPlan& plan)
{
    bool changed = false;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const EditRegion& r = regions[i];
        const Placement& p = plan.placed[i];
        if (!isFile(r.kind) || (p.offset == r.offset && p.size == r.size))
            continue;
        const std::uint64_t at = std::uint64_t{r.id} * kFatEntrySize;
        if (at + kFatEntrySize > fat.size())
            throw Error("The allocation entry of file ID " + std::to_string(r.id) +
                        " lies past the allocation table's size in the header; it cannot move");
        putLe32(fat, static_cast<std::size_t>(at), static_cast<std::uint32_t>(p.offset));
        putLe32(fat, static_cast<std::size_t>(at + 4),
                static_cast<std::uint32_t>(p.offset + p.size));
        changed = true;
    }
    return changed;
}

void setBannerCrcs(std::vector<std::uint8_t>& banner)
{
    const MemoryStream stream(banner);
    const BannerRecord record = decodeBanner(RawBanner::read(stream, 0));
    for (const BannerCrc& crc : record.info.crcs)
        if (crc.complete && crc.at + 2 <= banner.size())
            putLe16(banner, crc.at, crc.computed);
}

std::vector<ByteRange> differences(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                                   std::uint64_t at)
{
    std::vector<ByteRange> out;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const bool same = i < a.size() && i < b.size() && a[i] == b[i];
        if (same)
            continue;
        if (!out.empty() && out.back().offset + out.back().size == at + i)
            ++out.back().size;
        else
            out.push_back({at + i, 1});
    }
    return out;
}

std::vector<ByteRange> changedRanges(std::span<const EditRegion> regions, const EditPlan& plan)
{
    std::vector<ByteRange> out = plan.freed;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (!regions[i].newSize && !plan.placed[i].moved)
            continue;
        out.push_back({regions[i].offset, regions[i].size});
        out.push_back({plan.placed[i].offset, plan.placed[i].size});
    }
    return out;
}

std::optional<std::string> signedRegionWarning(std::span<const std::uint8_t> header,
                                               std::uint64_t imageSize,
                                               std::span<const ByteRange> changed)
{
    const HeaderRecord h = decodeHeader(RawHeader::fromBytes(header));
    const std::optional<std::string> broken = brokenSignature(h, imageSize, changed);
    if (!broken)
        return std::nullopt;
    return std::string(kSignedRegionWarning) + " (the " + *broken + " covers a changed region)";
}

} // namespace cartscope::core::rebuild
