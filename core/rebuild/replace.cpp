#include "core/rebuild/replace.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/compress/code.h"
#include "core/fs/filelist.h"
#include "core/fs/fnt.h"
#include "core/fs/narc.h"
#include "core/fs/system_files.h"
#include "core/image/header_record.h"
#include "core/rebuild/build.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/layout_writer.h"
#include "core/verify/trim.h"

namespace cartscope::core::rebuild {

namespace {

// A banner is read whole to set its CRC-16s; the animated one is 0x23C0 bytes, a DSi banner
// size word may say more, nothing real says a megabyte.
constexpr std::uint64_t kMaxBannerBytes = 1 << 20;
constexpr std::uint64_t kMaxFatBytes = 65536 * 8;
// An archive whose member is replaced is rebuilt in memory.
constexpr std::uint64_t kMaxNarcBytes = 256u << 20;
constexpr std::uint64_t kNarcHeaderSize = 0x10;
constexpr std::size_t kMaxNarcBlocks = 16;
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

// The image's regions and the path `list` shows for each that can be replaced.
struct ImageRegions {
    HeaderRecord header;
    std::vector<EditRegion> regions;
    std::map<std::string, std::size_t> byPath;
    std::size_t fat = 0;       // the allocation table's region
    std::vector<FileRow> rows; // the tree's rows, for the archives in it
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

// A member of an archive of the tree: "/a/b.narc/c.bin" is the archive "/a/b.narc" and its
// member "/c.bin". Only archives that are files of the tree, not members of other archives.
struct MemberPath {
    std::size_t archive; // the archive's region
    std::string member;
};

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

const NarcMember& memberNamed(const Narc& narc, const std::string& member, const std::string& path)
{
    for (const NarcMember& m : narc.members)
        if (m.path == member) {
            if (!m.problem.empty())
                throw Error("\"" + path + "\" cannot be replaced: " + m.problem);
            return m;
        }
    throw Error("The image has no file \"" + path + "\" that can be replaced");
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

// The archive with the given members' bytes replaced: a member that still fits in its range
// (shared with no other) stays there, the rest go after the data, 4-aligned, the gaps 0xFF; the
// allocation entries and the data block's and archive's sizes follow.
std::vector<std::uint8_t>
rebuiltNarc(const Stream& image, const Narc& narc,
            const std::vector<std::pair<const NarcMember*, const Stream*>>& members,
            const std::string& path)
{
    if (narc.size > kMaxNarcBytes)
        throw Error("The archive \"" + path + "\" is larger than 256 MiB");
    std::vector<std::uint8_t> a = readBytes(image, narc.offset, narc.size);
    std::uint64_t btaf = 0, gmif = 0;
    std::uint64_t pos = std::max<std::uint64_t>(le16(a, 0x0C), kNarcHeaderSize);
    for (std::size_t n = 0; n < kMaxNarcBlocks && pos + 8 <= a.size(); ++n) {
        const std::uint64_t blockSize = le32(a, static_cast<std::size_t>(pos + 4));
        const std::string magic(a.begin() + static_cast<std::ptrdiff_t>(pos),
                                a.begin() + static_cast<std::ptrdiff_t>(pos + 4));
        if (magic == "BTAF" && !btaf)
            btaf = pos;
        else if (magic == "GMIF" && !gmif)
            gmif = pos;
        if (blockSize < 8 || blockSize > a.size() - pos)
            break;
        pos += blockSize;
    }
    if (!btaf || !gmif)
        throw Error("The archive \"" + path + "\" cannot be rebuilt");
    const std::uint64_t dataAt = gmif + 8;
    const std::uint64_t gmifEnd = gmif + le32(a, static_cast<std::size_t>(gmif + 4));
    const std::uint64_t count = le16(a, static_cast<std::size_t>(btaf + 8));
    const std::uint64_t entriesEnd = std::min<std::uint64_t>(
        btaf + 12 + count * 8, btaf + le32(a, static_cast<std::size_t>(btaf + 4)));
    std::vector<std::uint8_t> appended;
    for (const auto& [member, source] : members) {
        const std::uint64_t start = member->offset - narc.offset - dataAt;
        std::optional<std::uint64_t> entry;
        bool shared = false;
        for (std::uint64_t e = btaf + 12; e + 8 <= entriesEnd; e += 8) {
            const std::uint64_t s = le32(a, static_cast<std::size_t>(e));
            const std::uint64_t t = le32(a, static_cast<std::size_t>(e + 4));
            if (s == start && t - s == member->size && !entry)
                entry = e;
            else if (s < start + member->size && start < t)
                shared = true;
        }
        if (!entry)
            throw Error("The archive \"" + path + "\" cannot be rebuilt");
        std::vector<std::uint8_t> bytes = readBytes(*source, 0, source->size());
        std::uint64_t at = dataAt + start;
        if (shared || bytes.size() > member->size) {
            while (appended.size() % 4)
                appended.push_back(0xFF);
            at = gmifEnd + appended.size();
            appended.insert(appended.end(), bytes.begin(), bytes.end());
            std::fill_n(a.begin() + static_cast<std::ptrdiff_t>(dataAt + start),
                        shared ? 0 : member->size, 0xFF);
        } else {
            std::copy(bytes.begin(), bytes.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
            std::fill_n(a.begin() + static_cast<std::ptrdiff_t>(at + bytes.size()),
                        member->size - bytes.size(), 0xFF);
        }
        putLe32(a, static_cast<std::size_t>(*entry), static_cast<std::uint32_t>(at - dataAt));
        putLe32(a, static_cast<std::size_t>(*entry + 4),
                static_cast<std::uint32_t>(at - dataAt + bytes.size()));
    }
    while (appended.size() % 4)
        appended.push_back(0xFF);
    a.insert(a.begin() + static_cast<std::ptrdiff_t>(gmifEnd), appended.begin(), appended.end());
    putLe32(a, static_cast<std::size_t>(gmif + 4),
            static_cast<std::uint32_t>(gmifEnd - gmif + appended.size()));
    putLe32(a, 0x08, static_cast<std::uint32_t>(a.size()));
    return a;
}

// The new bytes of each replaced region (by region), and the archive members replaced (by the
// archive's region).
struct Sources {
    std::vector<std::unique_ptr<Stream>> streams;
    std::map<std::size_t, std::vector<std::pair<std::string, std::unique_ptr<FileStream>>>> members;
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
                out.members[m->archive].emplace_back(r.path, std::move(file));
                continue;
            }
        const std::size_t i = regionNamed(x, r.path);
        x.regions[i].newSize = file->size();
        out.streams[i] = std::move(file);
    }
    return out;
}

// Each archive with members replaced is rebuilt and replaced like a file.
void rebuildArchives(const Stream& image, ImageRegions& x, Sources& sources)
{
    for (auto& [archive, list] : sources.members) {
        const std::string path = x.rows[archive - (x.regions.size() - x.rows.size())].path;
        if (sources.streams[archive])
            throw Error("The archive \"" + path + "\" is replaced and has members replaced");
        const Narc narc = openNarc(image, x.rows, path);
        std::vector<std::pair<const NarcMember*, const Stream*>> changed;
        for (const auto& [memberPathText, file] : list)
            changed.emplace_back(
                &memberNamed(narc, memberPathText.substr(path.size()), memberPathText), file.get());
        sources.streams[archive] =
            std::make_unique<BytesStream>(rebuiltNarc(image, narc, changed, path));
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
            const Narc narc =
                openNarc(image, x.rows, path.substr(0, path.size() - m->member.size()));
            return memberNamed(narc, m->member, path).size;
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
    rebuildArchives(image, x, sources);
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
