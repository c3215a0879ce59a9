// Fresh trees: laid out as the standard packer lays out a new image from a header template, so
// an image built here from a homebrew tree is the one the packer builds from it.
//
// Departures, on purpose: a header template of size 0x200 or less keeps its own logo and bytes
// 0xA0..0xB3 (the packer puts a loader program of its own there); the ROM version byte is kept
// (the packer sets it from its own option, 0 when not given); a DSi header (unit code bit 1) is
// refused rather than given made-up signatures. Folders are numbered in sorted order, where the
// packer numbers them in the order the file system lists them.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/crc16.h"
#include "core/fs/system_files.h"
#include "core/rebuild/fresh_tree.h"
#include "core/rebuild/name_table_writer.h"

namespace cartscope::core::rebuild {

namespace {

constexpr std::uint64_t kAlign = 0x200;
constexpr std::uint64_t kArm7Min = 0x8000;
constexpr std::uint64_t kSecureDummySize = 0x800;
constexpr std::uint32_t kSecureDummyWord = 0xE7FFDEFF;
constexpr std::uint64_t kPaddedArm9 = 0x4000;
constexpr std::uint32_t kRomControl1 = 0x00586000;
constexpr std::uint32_t kRomControl2 = 0x001808F8;
constexpr std::uint64_t kLogoOffset = 0xC0;
constexpr std::uint64_t kLogoSize = 156;
constexpr std::uint64_t kLast32 = 0xFFFFFFFF;

// The boot logo every card carries (its CRC-16 is CF56h); headers larger than 0x200 get it.
constexpr std::array<std::uint8_t, kLogoSize> kNintendoLogo = {
    0x24, 0xFF, 0xAE, 0x51, 0x69, 0x9A, 0xA2, 0x21, 0x3D, 0x84, 0x82, 0x0A, 0x84, 0xE4, 0x09, 0xAD,
    0x11, 0x24, 0x8B, 0x98, 0xC0, 0x81, 0x7F, 0x21, 0xA3, 0x52, 0xBE, 0x19, 0x93, 0x09, 0xCE, 0x20,
    0x10, 0x46, 0x4A, 0x4A, 0xF8, 0x27, 0x31, 0xEC, 0x58, 0xC7, 0xE8, 0x33, 0x82, 0xE3, 0xCE, 0xBF,
    0x85, 0xF4, 0xDF, 0x94, 0xCE, 0x4B, 0x09, 0xC1, 0x94, 0x56, 0x8A, 0xC0, 0x13, 0x72, 0xA7, 0xFC,
    0x9F, 0x84, 0x4D, 0x73, 0xA3, 0xCA, 0x9A, 0x61, 0x58, 0x97, 0xA3, 0x27, 0xFC, 0x03, 0x98, 0x76,
    0x23, 0x1D, 0xC7, 0x61, 0x03, 0x04, 0xAE, 0x56, 0xBF, 0x38, 0x84, 0x00, 0x40, 0xA7, 0x0E, 0xFD,
    0xFF, 0x52, 0xFE, 0x03, 0x6F, 0x95, 0x30, 0xF1, 0x97, 0xFB, 0xC0, 0x85, 0x60, 0xD6, 0x80, 0x25,
    0xA9, 0x63, 0xBE, 0x03, 0x01, 0x4E, 0x38, 0xE2, 0xF9, 0xA2, 0x34, 0xFF, 0xBB, 0x3E, 0x03, 0x44,
    0x78, 0x00, 0x90, 0xCB, 0x88, 0x11, 0x3A, 0x94, 0x65, 0xC0, 0x7C, 0x63, 0x87, 0xF0, 0x3C, 0xAF,
    0xD6, 0x25, 0xE4, 0x8B, 0x38, 0x0A, 0xAC, 0x72, 0x21, 0xD4, 0xF8, 0x07,
};

std::uint64_t alignUp(std::uint64_t v, std::uint64_t a)
{
    return (v + a - 1) / a * a;
}

// The name table's folders and the file IDs, walked depth-first in sorted order.
class TableWriter {
public:
    TableWriter(std::uint32_t firstFileId, std::size_t folders) : m_nextFile(firstFileId)
    {
        m_folders.resize(folders);
    }

    // `path` is the folder's path below the tree ("" for the root).
    void folder(const FreshFolder& f, const std::string& path, std::uint32_t id,
                std::uint32_t parent, std::vector<const FreshFile*>& order,
                std::vector<std::pair<std::string, std::uint32_t>>& ids)
    {
        std::vector<const FreshFile*> files;
        for (const FreshFile& file : f.files)
            files.push_back(&file);
        std::sort(files.begin(), files.end(), [](const FreshFile* a, const FreshFile* b) {
            return byName(baseName(a->path), baseName(b->path));
        });
        std::vector<const FreshFolder*> folders;
        for (const FreshFolder& sub : f.folders)
            folders.push_back(&sub);
        std::sort(folders.begin(), folders.end(), [](const FreshFolder* a, const FreshFolder* b) {
            return byName(a->name, b->name);
        });

        NameTableFolder& entry = m_folders[id & 0xFFF];
        entry.firstFileId = static_cast<std::uint16_t>(m_nextFile);
        entry.parent = static_cast<std::uint16_t>(parent & 0xFFF);
        for (const FreshFile* file : files) {
            entry.files.emplace_back(baseName(file->path));
            order.push_back(file);
            ids.emplace_back(file->path, m_nextFile++);
        }
        // Subfolder IDs in the same depth-first order the walk below visits them.
        std::vector<std::uint32_t> subIds;
        std::uint32_t next = id + 1;
        for (const FreshFolder* sub : folders) {
            subIds.push_back(next);
            next += static_cast<std::uint32_t>(countFolders(*sub));
        }
        for (std::size_t i = 0; i < folders.size(); ++i)
            entry.folders.emplace_back(folders[i]->name,
                                       static_cast<std::uint16_t>(subIds[i] & 0xFFF));
        // Depth bounded by the folder count (at most 4,095, checked when the tree was read).
        for (std::size_t i = 0; i < folders.size(); ++i)
            folder(*folders[i], path.empty() ? folders[i]->name : path + "/" + folders[i]->name,
                   subIds[i], id, order, ids);
    }

    std::vector<std::uint8_t> take() const { return encodeNameTable(m_folders); }

    static std::size_t countFolders(const FreshFolder& f)
    {
        std::size_t n = 1;
        for (const FreshFolder& sub : f.folders)
            n += countFolders(sub);
        return n;
    }

private:
    std::vector<NameTableFolder> m_folders; // by main-table index
    std::uint32_t m_nextFile;
};

// Pieces placed one after another; holes between them become fill runs.
class Placer {
public:
    explicit Placer(std::uint8_t fill) : m_fill(fill) {}

    void region(RegionKind kind, std::uint32_t id, std::uint64_t offset, const FreshFile& file)
    {
        Region r;
        r.kind = kind;
        r.id = id;
        r.offset = offset;
        r.size = file.size;
        r.path = file.path;
        r.mtimeNs = file.mtimeNs;
        add(std::move(r));
    }
    void made(RegionKind kind, std::uint64_t offset, std::vector<std::uint8_t> bytes)
    {
        Region r;
        r.kind = kind;
        r.offset = offset;
        r.size = bytes.size();
        add(std::move(r));
        m_out.generated.push_back({offset, std::move(bytes)});
    }
    // The image ends at `size`: holes up to there are filled.
    FreshLayout finish(std::uint64_t size)
    {
        std::sort(m_out.layout.regions.begin(), m_out.layout.regions.end(),
                  [](const Region& a, const Region& b) { return a.offset < b.offset; });
        std::sort(m_out.generated.begin(), m_out.generated.end(),
                  [](const Generated& a, const Generated& b) { return a.offset < b.offset; });
        std::uint64_t at = 0;
        for (const Region& r : m_out.layout.regions) {
            if (r.size == 0)
                continue;
            if (r.offset > at)
                m_out.layout.runs.push_back({at, r.offset - at, m_fill, {}});
            at = std::max(at, r.offset + r.size);
        }
        if (size > at)
            m_out.layout.runs.push_back({at, size - at, m_fill, {}});
        m_out.layout.imageSize = size;
        return std::move(m_out);
    }
    FreshLayout& out() { return m_out; }

private:
    void add(Region r)
    {
        if (r.offset > kLast32 || r.size > kLast32 + 1 - r.offset)
            throw Error("The tree makes an image past 4 GiB");
        m_out.layout.regions.push_back(std::move(r));
    }

    std::uint8_t m_fill;
    FreshLayout m_out;
};

std::uint64_t countFiles(const FreshFolder& f)
{
    std::uint64_t n = f.files.size();
    for (const FreshFolder& sub : f.folders)
        n += countFiles(sub);
    return n;
}

} // namespace

namespace {

// 0x014 chip capacity: the power of two above the used size (at least 128 KiB), as
// 128 KiB << n; sizes from 2 GiB wrap to 0, as the packer's 32-bit arithmetic does.
std::uint8_t capacityFor(std::uint64_t used)
{
    std::uint32_t cap = static_cast<std::uint32_t>(used);
    cap |= cap >> 16;
    cap |= cap >> 8;
    cap |= cap >> 4;
    cap |= cap >> 2;
    cap |= cap >> 1;
    ++cap;
    if (cap <= 128 * 1024)
        cap = 128 * 1024;
    int capacity = -18;
    for (std::uint32_t x = cap; x != 0; x >>= 1)
        ++capacity;
    return static_cast<std::uint8_t>(std::max(capacity, 0));
}

// The packer's steps in its order, each moving the write position on.
class Layouter {
public:
    Layouter(const FreshInput& input, std::uint8_t fill)
        : m_in(input), m_h(input.header.begin(), input.header.end()), m_place(fill)
    {
        // 0x012 unit code: a DSi header needs signatures the packer makes up; not laid out here.
        if (m_h[0x12] & 0x02)
            throw Error("The header \"[system]/header.bin\" is a DSi header (unit code " +
                        std::to_string(m_h[0x12]) +
                        "); only DS images are laid out without a layout");
    }

    FreshLayout run()
    {
        placeArm9();
        placeOverlayTable(m_in.arm9Overlays, RegionKind::Arm9OverlayTable, 0x50); // 0x050
        placeArm7();
        placeOverlayTable(m_in.arm7Overlays, RegionKind::Arm7OverlayTable, 0x58); // 0x058
        if (m_in.overlays.size() != m_overlayCount)
            throw Error("The overlay tables name " + std::to_string(m_overlayCount) +
                        " overlays; [system]/overlay holds " +
                        std::to_string(m_in.overlays.size()));
        placeFiles(placeTables());
        return finish();
    }

private:
    // The header size (a secure area when the entry lies 0x800 into RAM), then the ARM9 behind
    // a stand-in secure area when the header asks for one and the binary has none.
    void placeArm9()
    {
        std::uint32_t entry = le32(m_h, 0x24); // 0x024 ARM9 entry
        std::uint32_t ram = le32(m_h, 0x28);   // 0x028 ARM9 RAM address
        std::uint32_t headerSize = le32(m_h, 0x84);
        const bool secure = ram + 0x800 == entry || headerSize > kTemplateSize;
        if (headerSize == 0)
            headerSize = secure ? 0x4000 : 0x200;
        putLe32(m_h, 0x84, headerSize);
        if (headerSize > kTemplateSize)
            std::copy(kNintendoLogo.begin(), kNintendoLogo.end(), m_h.begin() + kLogoOffset);

        m_arm9 = alignUp(headerSize, kAlign);
        m_pos = m_arm9;
        if (!ram && entry)
            ram = entry;
        if (!entry && ram)
            entry = ram;
        if (!ram)
            ram = entry = 0x02000000;
        std::uint64_t arm9Size = 0;
        if (secure && m_in.arm9FirstWord != kSecureDummyWord) {
            std::vector<std::uint8_t> dummy(kSecureDummySize);
            for (std::size_t i = 0; i < dummy.size(); i += 4)
                putLe32(dummy, i, kSecureDummyWord);
            m_place.made(RegionKind::Arm9, m_pos, std::move(dummy));
            arm9Size = kSecureDummySize;
            m_pos += kSecureDummySize;
        }
        m_place.region(RegionKind::Arm9, 0, m_pos, m_in.arm9);
        const std::uint64_t code =
            m_in.arm9Footer ? m_in.arm9.size - kNitroFooterSize : m_in.arm9.size;
        arm9Size += alignUp(code, 4);
        advance(m_in.arm9.size);
        // A header with a secure area and an entry 0x800 into RAM gets an ARM9 of at least
        // 16 KiB.
        if (headerSize > kTemplateSize && entry - ram == 0x800 && arm9Size < kPaddedArm9) {
            advance(kPaddedArm9 - arm9Size);
            arm9Size = kPaddedArm9;
        }
        putLe32(m_h, 0x20, static_cast<std::uint32_t>(m_arm9)); // 0x020 ARM9 offset
        putLe32(m_h, 0x24, entry);
        putLe32(m_h, 0x28, ram);
        putLe32(m_h, 0x2C, static_cast<std::uint32_t>(arm9Size)); // 0x02C ARM9 size
    }

    // An overlay table at the next 0x200; without its file the template's fields stay.
    void placeOverlayTable(const std::optional<FreshFile>& file, RegionKind kind, std::size_t at)
    {
        if (!file)
            return;
        m_pos = alignUp(m_pos, kAlign);
        m_place.region(kind, 0, m_pos, *file);
        putLe32(m_h, at, file->size ? static_cast<std::uint32_t>(m_pos) : 0);
        putLe32(m_h, at + 4, static_cast<std::uint32_t>(file->size));
        m_overlayCount += file->size / kOverlayEntrySize;
        advance(file->size);
    }

    void placeArm7()
    {
        m_pos = std::max(alignUp(m_pos, kAlign), kArm7Min);
        std::uint32_t entry7 = le32(m_h, 0x34); // 0x034 ARM7 entry
        std::uint32_t ram7 = le32(m_h, 0x38);   // 0x038 ARM7 RAM address
        if (!ram7 && entry7)
            ram7 = entry7;
        if (!entry7 && ram7)
            entry7 = ram7;
        if (!ram7)
            ram7 = entry7 = 0x037F8000;
        putLe32(m_h, 0x30, static_cast<std::uint32_t>(m_pos)); // 0x030 ARM7 offset
        putLe32(m_h, 0x34, entry7);
        putLe32(m_h, 0x38, ram7);
        putLe32(m_h, 0x3C, static_cast<std::uint32_t>(alignUp(m_in.arm7.size, 4)));
        m_place.region(RegionKind::Arm7, 0, m_pos, m_in.arm7);
        advance(m_in.arm7.size);
    }

    // The name table, the allocation table's place and the banner; returns the tree's files in
    // ID order.
    std::vector<const FreshFile*> placeTables()
    {
        FreshLayout& out = m_place.out();
        const std::size_t folders = TableWriter::countFolders(m_in.root);
        if (folders > kMaxTreeFolders + 1)
            throw Error("The tree holds more than 4,095 folders");
        if (m_overlayCount + countFiles(m_in.root) > kMaxTreeFiles)
            throw Error("The tree holds more than 65,536 files");
        TableWriter names(static_cast<std::uint32_t>(m_overlayCount), folders);
        std::vector<const FreshFile*> order;
        for (std::uint32_t i = 0; i < m_overlayCount; ++i)
            out.fileIds.emplace_back(m_in.overlays[i].path, i);
        names.folder(m_in.root, "", kRootFolderId, static_cast<std::uint32_t>(folders), order,
                     out.fileIds);
        std::vector<std::uint8_t> fnt = names.take();

        const std::uint64_t fntOffset = alignUp(m_pos, kAlign);
        m_fatOffset = alignUp(fntOffset + fnt.size(), kAlign);
        m_fileCount = m_overlayCount + order.size();
        putLe32(m_h, 0x40, static_cast<std::uint32_t>(fntOffset)); // 0x040 FNT offset
        putLe32(m_h, 0x44, static_cast<std::uint32_t>(fnt.size()));
        putLe32(m_h, 0x48, static_cast<std::uint32_t>(m_fatOffset)); // 0x048 FAT offset
        putLe32(m_h, 0x4C, static_cast<std::uint32_t>(m_fileCount * 8));
        m_end = std::max(m_end, fntOffset + fnt.size());
        m_top = m_fatOffset + m_fileCount * 8;
        if (m_in.banner) {
            const std::uint64_t banner = alignUp(m_top, kAlign);
            m_place.region(RegionKind::Banner, 0, banner, *m_in.banner);
            putLe32(m_h, 0x68, static_cast<std::uint32_t>(banner)); // 0x068 banner offset
            m_top = banner + m_in.banner->size;
            m_end = std::max(m_end, m_top);
        } else {
            putLe32(m_h, 0x68, 0);
        }
        m_place.made(RegionKind::Fnt, fntOffset, std::move(fnt));
        return order;
    }

    // Overlays, then the files in ID order, each at the next 0x200, and their allocation table.
    void placeFiles(const std::vector<const FreshFile*>& order)
    {
        std::vector<std::uint8_t> fat(static_cast<std::size_t>(m_fileCount * 8));
        m_fileEnd = m_top;
        std::uint32_t id = 0;
        const auto file = [&](const FreshFile& f, RegionKind kind) {
            m_top = alignUp(m_top, kAlign);
            m_place.region(kind, id, m_top, f);
            putLe32(fat, 8 * id, static_cast<std::uint32_t>(m_top));
            putLe32(fat, 8 * id + 4, static_cast<std::uint32_t>(m_top + f.size));
            m_top += f.size;
            // A file of no bytes still moves the end the header records, not the image's end.
            m_fileEnd = std::max(m_fileEnd, m_top);
            if (f.size)
                m_end = std::max(m_end, m_top);
            ++id;
        };
        for (const FreshFile& f : m_in.overlays)
            file(f, RegionKind::Overlay);
        for (const FreshFile* f : order)
            file(*f, RegionKind::File);
        if (!fat.empty())
            m_end = std::max(m_end, m_fatOffset + fat.size());
        m_place.made(RegionKind::Fat, m_fatOffset, std::move(fat));
    }

    // The used size, ROM-control words, capacity and logo CRC-16; then the header itself.
    FreshLayout finish()
    {
        const std::uint64_t used = alignUp(m_fileEnd, 4);
        if (used != m_fileEnd)
            m_end = std::max(m_end, used);
        if (used > kLast32)
            throw Error("The tree makes an image past 4 GiB");
        putLe32(m_h, 0x80, static_cast<std::uint32_t>(used)); // 0x080 used size
        putLe32(m_h, 0x60, kRomControl1);                     // 0x060 ROM control words
        putLe32(m_h, 0x64, kRomControl2);
        m_h[0x14] = capacityFor(used);
        putLe16(m_h, 0x15C, crc16::Crc16OfStream(std::span(m_h).subspan(kLogoOffset, kLogoSize)));

        m_place.made(RegionKind::Header, 0, std::move(m_h));
        FreshLayout laid = m_place.finish(m_end);
        laid.usedSize = used;
        laid.arm9Offset = m_arm9;
        return laid;
    }

    void advance(std::uint64_t bytes)
    {
        m_pos += bytes;
        m_end = std::max(m_end, m_pos);
    }

    const FreshInput& m_in;
    std::vector<std::uint8_t> m_h;
    Placer m_place;
    // The end of everything written so far (the image's size at the end) and the packer's
    // write position.
    std::uint64_t m_end = kTemplateSize;
    std::uint64_t m_pos = 0;
    std::uint64_t m_arm9 = 0;
    std::uint64_t m_overlayCount = 0;
    std::uint64_t m_fatOffset = 0;
    std::uint64_t m_fileCount = 0;
    std::uint64_t m_top = 0;     // past the tables and banner, then past each file
    std::uint64_t m_fileEnd = 0; // the end the header records
};

} // namespace

FreshLayout layFreshTree(const FreshInput& input, std::uint8_t fill)
{
    return Layouter(input, fill).run();
}

} // namespace cartscope::core::rebuild
