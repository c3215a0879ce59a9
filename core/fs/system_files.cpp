// System files: what the header points at besides the named tree.
//
// Sizes follow the established extractor (ndstool 2.3.1, `-x` with -h -9 -7 -9i -7i -y9 -y7 -y
// -t), so the files written are byte for byte the ones ROM hacking tools expect:
// * header.bin is 0x200 bytes, or 0x1000 when the unit code has the DSi bit (bit 1); the header
//   size field (often 0x4000) is not used.
// * arm9.bin (and arm9i.bin) gain the 12-byte footer that follows the binary when its first word
//   is 0xDEC00621; arm7.bin and arm7i.bin never do.
// * banner.bin: the banner size word at 0x208 when the DSi bit is set and the word is not 0;
//   otherwise the size its version gives (1: 0x840, 2: 0x940, 3: 0xA40, 0x103: 0x23C0, anything
//   else 0x840). A banner offset of 0 means the image has no banner: no banner.bin (the peer
//   would write header bytes under that name).
// * overlays: the FAT range of the entry's file ID (+0x18), named by its overlay ID (+0x00).
//   The peer indexes the FAT by the overlay ID; the two agree in every image it builds, and
//   where they differ the file ID is the one the loader uses.
// Departures, on purpose: a range past the end of the image is a problem for that file (the
// peer writes stale buffer bytes there); nothing partial is ever written.
//
// Bounds: each overlay table is read once, limited by its size field, by the end of the image
// and by kMaxOverlays entries; the FAT is read once, for the entries the overlays name, limited
// by its size field, the end of the image and kMaxFatEntries.
#include "core/fs/system_files.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/banner/banner_info.h"
#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/base/le.h"

namespace cartscope::core {

namespace {

// A table of 65536 overlays is 2 MiB; no image holds more files than the FAT's 16-bit IDs reach.
constexpr std::uint64_t kMaxOverlays = 65536;
constexpr std::uint64_t kMaxFatEntries = 65536;
constexpr std::uint64_t kFatEntrySize = 8;

const char* const kPastEndProblem = "its range runs past the end of the image";

bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t imageSize)
{
    return offset <= imageSize && size <= imageSize - offset;
}

std::uint32_t word(const Stream& image, std::uint64_t position, bool& delivered)
{
    std::array<std::uint8_t, 4> b{};
    delivered = image.pread(position, b) == b.size();
    return le32(b);
}

class Collector {
public:
    explicit Collector(const Stream& image) : m_image(image), m_size(image.size()) {}

    void add(SystemFileKind kind, std::string name, std::uint64_t offset, std::uint64_t size,
             std::string problem = {})
    {
        if (problem.empty() && size > 0 && !fits(offset, size, m_size))
            problem = kPastEndProblem;
        m_files.push_back({kind, std::move(name), offset, size, std::move(problem)});
    }

    // A binary at its offset and size fields; `footer`: the 12 bytes after it belong to it when
    // they begin with the nitro code.
    void binary(SystemFileKind kind, const char* name, std::uint64_t offset, std::uint64_t size,
                bool footer)
    {
        if (footer) {
            bool delivered = false;
            if (word(m_image, offset + size, delivered) == kNitroCode && delivered)
                size += kNitroFooterSize;
        }
        add(kind, name, offset, size);
    }

    void lastFileId(std::uint32_t fileId) { m_files.back().fileId = fileId; }
    std::vector<SystemFile> take() { return std::move(m_files); }
    const Stream& image() const { return m_image; }
    std::uint64_t imageSize() const { return m_size; }

private:
    const Stream& m_image;
    std::uint64_t m_size;
    std::vector<SystemFile> m_files;
};

struct OverlayEntry {
    std::uint32_t overlayId;
    std::uint32_t fileId;
};

// The whole entries of one table that lie inside the image (at most kMaxOverlays).
std::vector<OverlayEntry> readOverlayTable(const Stream& image, std::uint64_t offset,
                                           std::uint64_t size)
{
    std::vector<OverlayEntry> entries;
    if (offset >= image.size())
        return entries;
    const std::uint64_t available = std::min(size, image.size() - offset);
    const std::uint64_t count = std::min(available / kOverlayEntrySize, kMaxOverlays);
    if (count == 0)
        return entries;
    std::vector<std::uint8_t> table(static_cast<std::size_t>(count * kOverlayEntrySize));
    const std::size_t got = image.pread(offset, table);
    entries.reserve(static_cast<std::size_t>(got / kOverlayEntrySize));
    for (std::size_t at = 0; at + kOverlayEntrySize <= got; at += kOverlayEntrySize) {
        const std::span<const std::uint8_t> e(table.data() + at, kOverlayEntrySize);
        entries.push_back({le32(e, 0x00),   // 0x00 overlay ID
                           le32(e, 0x18)}); // 0x18 file ID
    }
    return entries;
}

std::string overlayName(std::uint32_t overlayId)
{
    char name[40];
    std::snprintf(name, sizeof name, "overlay/overlay_%04u.bin", static_cast<unsigned>(overlayId));
    return name;
}

void addOverlays(Collector& c, const TNDSHeader& header, const std::vector<OverlayEntry>& entries)
{
    const std::uint64_t fatOffset = header.FatOffset;
    const std::uint64_t fatSize = header.FatSize;
    std::uint64_t fatCount = std::min(fatSize / kFatEntrySize, kMaxFatEntries);
    if (fatOffset >= c.imageSize())
        fatCount = 0;
    else
        fatCount = std::min(fatCount, (c.imageSize() - fatOffset) / kFatEntrySize);
    std::uint64_t needed = 0;
    for (const OverlayEntry& e : entries)
        if (e.fileId < fatCount)
            needed = std::max<std::uint64_t>(needed, std::uint64_t{e.fileId} + 1);
    std::vector<std::uint8_t> fat(static_cast<std::size_t>(needed * kFatEntrySize));
    if (!fat.empty())
        fat.resize(c.image().pread(fatOffset, fat));

    for (const OverlayEntry& e : entries) {
        const std::uint64_t at = std::uint64_t{e.fileId} * kFatEntrySize;
        if (e.fileId >= fatCount || at + kFatEntrySize > fat.size()) {
            c.add(SystemFileKind::Overlay, overlayName(e.overlayId), 0, 0,
                  "its file ID " + std::to_string(e.fileId) + " is not in the allocation table");
            continue;
        }
        const std::span<const std::uint8_t> entry(fat.data() + at, kFatEntrySize);
        const std::uint32_t start = le32(entry, 0); // 0x00 start offset
        const std::uint32_t end = le32(entry, 4);   // 0x04 end offset
        if (end < start) {
            c.add(SystemFileKind::Overlay, overlayName(e.overlayId), start, 0,
                  "its allocation entry ends before it starts");
            continue;
        }
        c.add(SystemFileKind::Overlay, overlayName(e.overlayId), start, end - start);
        c.lastFileId(e.fileId);
    }
}

} // namespace

std::vector<SystemFile> systemFiles(const Stream& image, const HeaderRecord& header)
{
    const TNDSHeader& ds = header.ds;
    const DsiInfo& dsi = header.dsi;
    Collector c(image);

    c.add(SystemFileKind::Header, "header.bin", 0, headerBlockSize(header));
    c.binary(SystemFileKind::Arm9, "arm9.bin", ds.Arm9RomOffset, ds.Arm9Size, true);
    c.binary(SystemFileKind::Arm7, "arm7.bin", ds.Arm7RomOffset, ds.Arm7Size, false);
    if (dsi.isDsi) {
        c.binary(SystemFileKind::Arm9i, "arm9i.bin", dsi.arm9iRomOffset, dsi.arm9iSize, true);
        c.binary(SystemFileKind::Arm7i, "arm7i.bin", dsi.arm7iRomOffset, dsi.arm7iSize, false);
    }
    c.add(SystemFileKind::Arm9OverlayTable, "y9.bin", ds.Arm9OverlayOffset, ds.Arm9OverlaySize);
    c.add(SystemFileKind::Arm7OverlayTable, "y7.bin", ds.Arm7OverlayOffset, ds.Arm7OverlaySize);

    const std::uint64_t bannerOffset = ds.BannerOffset;
    if (bannerOffset != 0) {
        if (dsi.isDsi && dsi.bannerSize != 0) {
            c.add(SystemFileKind::Banner, "banner.bin", bannerOffset, dsi.bannerSize);
        } else {
            std::array<std::uint8_t, 2> version{};
            if (image.pread(bannerOffset, version) == version.size())
                c.add(SystemFileKind::Banner, "banner.bin", bannerOffset,
                      bannerSizeForVersion(le16(version)));
            else
                c.add(SystemFileKind::Banner, "banner.bin", bannerOffset, 0x840, kPastEndProblem);
        }
    }

    addOverlays(c, ds, readOverlayTable(image, ds.Arm9OverlayOffset, ds.Arm9OverlaySize));
    addOverlays(c, ds, readOverlayTable(image, ds.Arm7OverlayOffset, ds.Arm7OverlaySize));
    return c.take();
}

std::vector<FileRow> systemRows(const std::vector<SystemFile>& files)
{
    std::vector<FileRow> rows;
    rows.reserve(files.size());
    for (const SystemFile& f : files) {
        FileRow row;
        row.path = std::string("/") + kSystemFolder + "/" + f.name;
        // Offsets come from 32-bit fields; a range that does not fit carries its problem, so a
        // size past 32 bits (a footer after a huge binary) is never read back for a copy.
        row.offset = static_cast<std::uint32_t>(f.offset);
        row.size = static_cast<std::int64_t>(f.size);
        row.system = true;
        row.problem = f.problem;
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace cartscope::core
