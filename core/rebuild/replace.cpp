#include "core/rebuild/replace.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/code.h"
#include "core/compress/encode.h"
#include "core/fs/system_files.h"
#include "core/image/header_record.h"
#include "core/rebuild/build.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/layout_writer.h"
#include "core/rebuild/replace_archive.h"
#include "core/rebuild/replace_regions.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild {

namespace {

// A banner is read whole to set its CRC-16s; the animated one is 0x23C0 bytes, a DSi banner
// size word may say more, nothing real says a megabyte.
constexpr std::uint64_t kMaxBannerBytes = 1 << 20;
// An overlay table of 65,536 entries.
constexpr std::uint64_t kMaxOverlayTableBytes = 65536 * kOverlayEntrySize;
constexpr std::uint32_t kOverlayCompressedFlag = 0x01000000;
constexpr std::uint32_t kOverlaySizeMask = 0xFFFFFF;

// New bytes held in memory (a rebuilt archive).
class BytesStream final : public Stream {
public:
    explicit BytesStream(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    std::size_t pread(std::uint64_t position, std::span<std::uint8_t> out) const override
    {
        return MemoryStream(m_bytes).pread(position, out);
    }
    std::uint64_t size() const override { return m_bytes.size(); }

private:
    std::vector<std::uint8_t> m_bytes;
};

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
            out.write(std::span(*from->bytes)
                          .subspan(static_cast<std::size_t>(at - from->offset),
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

// The new bytes of each replaced region (by region), and the archive members replaced (by the
// archive's region).
struct Sources {
    std::vector<std::unique_ptr<Stream>> streams;
    std::vector<std::unique_ptr<FileStream>> files; // the members' new bytes
    std::map<std::size_t, std::vector<MemberEdit>> members;
};

Sources openSources(ImageRegions& x, std::span<const Replacement> replacements)
{
    Sources out;
    out.streams.resize(x.regions.size());
    std::map<std::string, bool> seen;
    for (const Replacement& r : replacements) {
        if (!seen.emplace(r.path, true).second)
            throw Error("The file \"" + r.path + "\" is replaced twice");
        auto file = std::make_unique<FileStream>(r.source);
        if (file->size() > kMaxImageSize)
            throw Error("The file \"" + r.source + "\" is larger than 4 GiB");
        if (x.byPath.find(r.path) == x.byPath.end())
            if (const auto m = memberPath(x, r.path)) {
                out.members[m->archive].push_back({m->member, r.path, file.get()});
                out.files.push_back(std::move(file));
                continue;
            }
        const std::size_t i = regionNamed(x, r.path);
        x.regions[i].newSize = file->size();
        out.streams[i] = std::move(file);
    }
    return out;
}

// The stored bytes of an archive of the tree, to be rebuilt in memory.
std::vector<std::uint8_t> archiveBytes(const Stream& image, const EditRegion& r,
                                       const std::string& path)
{
    if (r.size > kMaxArchiveBytes)
        throw Error("The archive \"" + path + "\" is larger than 256 MiB");
    return readBytes(image, r.offset, r.size);
}

// Each archive with members replaced is rebuilt and replaced like a file.
void rebuildArchives(const Stream& image, ImageRegions& x, Sources& sources,
                     const ReplaceOptions& options)
{
    for (const auto& [archive, edits] : sources.members) {
        const std::string& path = rowOf(x, archive).path;
        if (sources.streams[archive])
            throw Error("The archive \"" + path + "\" is replaced and has members replaced");
        sources.streams[archive] = std::make_unique<BytesStream>(
            rebuiltArchive(archiveBytes(image, x.regions[archive], path), path, edits,
                           EncodeOptions{options.vramSafe}));
        x.regions[archive].newSize = sources.streams[archive]->size();
    }
}

// The new bytes of every replaced region but the header, at their places.
void addRegionPieces(const ImageRegions& x, const Sources& sources, const EditPlan& plan,
                     const ReplaceOptions& options, std::vector<Piece>& pieces)
{
    for (std::size_t i = 0; i < x.regions.size(); ++i) {
        const Stream* source = sources.streams[i].get();
        const Placement& p = plan.placed[i];
        if (!source || x.regions[i].kind == RegionKind::Header)
            continue;
        if (x.regions[i].kind == RegionKind::Banner && !options.keepBannerCrcs) {
            if (p.size > kMaxBannerBytes)
                throw Error("The new banner is larger than 1 MiB");
            auto banner =
                std::make_shared<std::vector<std::uint8_t>>(readBytes(*source, 0, p.size));
            setBannerCrcs(*banner);
            pieces.push_back({p.offset, p.size, std::nullopt, nullptr, std::move(banner)});
        } else {
            pieces.push_back({p.offset, p.size, std::nullopt, source, nullptr});
        }
    }
}

// The overlay table's word at 0x1C of a replaced overlay follows the new file: code-compressed
// (a footer that fits) sets the compressed flag and the file's size in the low 24 bits, which
// is what the loader decompresses; anything else clears both, so the file loads as it is. The
// other flag bits (the signed-overlay bit) stay.
std::uint32_t overlayWordFor(std::uint32_t word, const Stream& file)
{
    const std::uint32_t kept = word & ~(kOverlayCompressedFlag | kOverlaySizeMask);
    if (file.size() > kOverlaySizeMask)
        return kept; // too large for the field, and for code compression
    const std::vector<std::uint8_t> bytes = readBytes(file, 0, file.size());
    if (!hasCodeFooter(bytes))
        return kept;
    return kept | kOverlayCompressedFlag | static_cast<std::uint32_t>(bytes.size());
}

// Sets the entries of the replaced overlays in one overlay table; whether a byte changed. A
// table the user replaced is theirs and left as given.
bool followOverlayTable(std::vector<std::uint8_t>& table, const ImageRegions& x,
                        const Sources& sources)
{
    bool changed = false;
    // Bounded by the table's size (at most kMaxOverlayTableBytes) and the regions.
    for (std::size_t e = 0; e + kOverlayEntrySize <= table.size(); e += kOverlayEntrySize) {
        const std::uint32_t fileId = le32(table, e + 0x18); // 0x18 file ID
        for (std::size_t i = 0; i < x.regions.size(); ++i) {
            if (x.regions[i].kind != RegionKind::Overlay || x.regions[i].id != fileId ||
                !sources.streams[i])
                continue;
            const std::uint32_t word = le32(table, e + 0x1C); // 0x1C compressed size, flags
            const std::uint32_t now = overlayWordFor(word, *sources.streams[i]);
            if (now != word) {
                putLe32(table, e + 0x1C, now);
                changed = true;
            }
        }
    }
    return changed;
}

// The overlay tables and the allocation table where replaced files change them.
void addTablePieces(const Stream& image, const ImageRegions& x, const Sources& sources,
                    const EditPlan& plan, std::vector<Piece>& pieces,
                    std::vector<ByteRange>& changed)
{
    for (std::size_t t = 0; t < x.regions.size(); ++t) {
        const EditRegion& r = x.regions[t];
        if ((r.kind != RegionKind::Arm9OverlayTable && r.kind != RegionKind::Arm7OverlayTable) ||
            sources.streams[t] || r.size > kMaxOverlayTableBytes)
            continue;
        auto table =
            std::make_shared<std::vector<std::uint8_t>>(readBytes(image, r.offset, r.size));
        if (!followOverlayTable(*table, x, sources))
            continue;
        changed.push_back({plan.placed[t].offset, table->size()});
        pieces.push_back({plan.placed[t].offset, table->size(), std::nullopt, nullptr, table});
    }
    const EditRegion& fatRegion = x.regions[x.fat];
    auto fat = std::make_shared<std::vector<std::uint8_t>>(
        readBytes(image, fatRegion.offset, fatRegion.size));
    if (followAllocation(*fat, x.regions, plan)) {
        changed.push_back({plan.placed[x.fat].offset, fat->size()});
        pieces.push_back({plan.placed[x.fat].offset, fat->size(), std::nullopt, nullptr, fat});
    }
}

// The Download Play signature block right after the used size, when the image holds one.
std::shared_ptr<const std::vector<std::uint8_t>> downloadPlayBlock(const Stream& image,
                                                                   std::uint64_t used)
{
    if (used > image.size() || kDownloadPlayBlockSize > image.size() - used)
        return nullptr;
    auto block = std::make_shared<std::vector<std::uint8_t>>(kDownloadPlayBlockSize);
    image.readExact(used, *block);
    if (!opensDownloadPlayBlock(*block))
        return nullptr;
    return block;
}

// The header block as the image holds it (what is missing reads as zero, as decoded) and as it
// becomes; and whether the Download Play block moves, to right after the new used size.
struct HeaderEdit {
    std::vector<std::uint8_t> original;
    std::shared_ptr<std::vector<std::uint8_t>> header;
    std::uint64_t newUsed = 0;
    bool blockMoves = false;
};

HeaderEdit editHeader(const Stream& image, const ImageRegions& x, const Sources& sources,
                      EditPlan& plan, bool hasBlock)
{
    HeaderEdit out;
    out.original.assign(headerBlockSize(x.header), 0);
    image.pread(0, out.original);
    std::vector<std::uint8_t> edited = out.original;
    for (std::size_t i = 0; i < x.regions.size(); ++i)
        if (sources.streams[i] && x.regions[i].kind == RegionKind::Header)
            edited = readBytes(*sources.streams[i], 0, plan.placed[i].size);
    out.header = std::make_shared<std::vector<std::uint8_t>>(
        followHeader(out.original, edited, x.regions, plan));
    out.newUsed = trimUsedSize(decodeHeader(RawHeader::fromBytes(*out.header)));
    out.blockMoves = hasBlock && moveDownloadPlayBlock(plan, trimUsedSize(x.header), out.newUsed);
    if (out.blockMoves) // the image may have grown past the capacity the header names
        *out.header = followHeader(out.original, edited, x.regions, plan);
    return out;
}

} // namespace

std::uint64_t replaceableSize(const Stream& image, const std::string& path)
{
    const ImageRegions x = regionsOf(image);
    if (x.byPath.find(path) == x.byPath.end())
        if (const auto m = memberPath(x, path)) {
            const std::string& archive = rowOf(x, m->archive).path;
            return storedMemberSize(archiveBytes(image, x.regions[m->archive], archive), archive,
                                    m->member, path);
        }
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
    Sources sources = openSources(x, replacements);
    rebuildArchives(image, x, sources, options);
    const std::uint64_t used = x.header.ds.TotalUsedRomSize;
    EditPlan plan = planEdits(x.regions, image.size(), used, false);
    std::uint64_t oldEnd = 0;
    for (const EditRegion& r : x.regions)
        oldEnd = std::max(oldEnd, r.offset + r.size);
    const std::uint64_t oldUsed = trimUsedSize(x.header);
    const auto block = downloadPlayBlock(image, oldUsed);
    // The padding past the used area, the signature block aside.
    const std::uint8_t gapFill = gapFillOf(image, std::max<std::uint64_t>(oldEnd, used) +
                                                      (block ? kDownloadPlayBlockSize : 0));

    const HeaderEdit edit = editHeader(image, x, sources, plan, block != nullptr);
    const std::vector<std::uint8_t>& original = edit.original;
    const auto& header = edit.header;

    std::vector<Piece> pieces;
    for (const ByteRange& f : plan.freed)
        pieces.push_back({f.offset, f.size, gapFill, nullptr, nullptr});
    addRegionPieces(x, sources, plan, options, pieces);
    std::vector<ByteRange> changed = changedRanges(x.regions, plan);
    const std::vector<ByteRange> headerChanges = differences(original, *header, 0);
    changed.insert(changed.end(), headerChanges.begin(), headerChanges.end());
    if (!headerChanges.empty())
        pieces.push_back({0, std::min<std::uint64_t>(header->size(), plan.imageSize), std::nullopt,
                          nullptr, header});
    addTablePieces(image, x, sources, plan, pieces, changed);
    if (edit.blockMoves) {
        pieces.push_back({edit.newUsed, block->size(), std::nullopt, nullptr, block});
        changed.push_back({oldUsed, block->size()});
        changed.push_back({edit.newUsed, block->size()});
    }

    writePieces(image, plan.imageSize, gapFill, pieces, out, checkpoint);
    ReplaceResult result;
    result.bytes = plan.imageSize;
    if (auto warning = signedRegionWarning(original, image.size(), changed))
        result.warnings.push_back(*warning);
    return result;
}

} // namespace cartscope::core::rebuild
