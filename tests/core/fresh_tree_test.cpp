// Laying out a tree without a layout: where each piece goes, the IDs the name table gives, the
// header fields set, the holes, and what cannot be laid out.

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/checksum/crc16.h"
#include "core/rebuild/fresh_tree.h"

namespace {

using namespace cartscope::core::rebuild;
using cartscope::core::le16;
using cartscope::core::le32;
using cartscope::core::putLe32;

FreshFile file(const std::string& path, std::uint64_t size)
{
    return {path, size, 0};
}

// A header of 0x4000 bytes whose ARM9 entry is 0x800 into its RAM (a stand-in secure area and
// an ARM9 padded to 16 KiB), a 5000-byte ARM9 and a 3001-byte ARM7, no data.
FreshInput base()
{
    FreshInput in;
    putLe32(in.header, 0x24, 0x02000800);
    putLe32(in.header, 0x28, 0x02000000);
    putLe32(in.header, 0x84, 0x4000);
    in.arm9 = file("[system]/arm9.bin", 5000);
    in.arm7 = file("[system]/arm7.bin", 3001);
    return in;
}

const Region& region(const FreshLayout& l, RegionKind kind, bool made = false)
{
    for (const Region& r : l.layout.regions)
        if (r.kind == kind && r.path.empty() == made)
            return r;
    throw std::runtime_error("no such region");
}

// The bytes of a region the layout made (the name or allocation table).
const std::vector<std::uint8_t>& made(const FreshLayout& l, RegionKind kind)
{
    const std::uint64_t offset = region(l, kind, true).offset;
    for (const Generated& g : l.generated)
        if (g.offset == offset)
            return g.bytes;
    throw std::runtime_error("no such bytes");
}

std::uint32_t field(const FreshLayout& l, std::size_t at)
{
    return le32(l.generated.front().bytes, at);
}

struct OffsetCase {
    const char* name;
    std::function<void(FreshInput&)> change;
    std::uint32_t arm9Offset, arm9Size, arm7Offset, fntOffset, fatOffset, used;
    std::uint64_t imageSize;
};

TEST(FreshTree, PiecesGoWhereThePackerPutsThem)
{
    const std::vector<OffsetCase> cases = {
        // Dummy secure area 0x800, ARM9 5000 bytes, padded to 0x4000: the ARM7 at 0x8000, the
        // name table (9 bytes) at the next 0x200; no files, so the image ends with the table.
        {"secure, padded", [](FreshInput&) {}, 0x4000, 0x4000, 0x8000, 0x8C00, 0x8E00, 0x8E00,
         0x8C09},
        {"secure area already there", [](FreshInput& in) { in.arm9FirstWord = 0xE7FFDEFF; }, 0x4000,
         0x4000, 0x8000, 0x8C00, 0x8E00, 0x8E00, 0x8C09},
        {"footer not counted",
         [](FreshInput& in) {
             in.arm9 = file("[system]/arm9.bin", 0x9000 + 12);
             in.arm9Footer = true;
         },
         0x4000, 0x9800, 0xDA00, 0xE600, 0xE800, 0xE800, 0xE609},
        {"large ARM9 pushes the ARM7",
         [](FreshInput& in) { in.arm9 = file("[system]/arm9.bin", 0x9001); }, 0x4000, 0x9804,
         0xDA00, 0xE600, 0xE800, 0xE800, 0xE609},
        {"no secure area: 0x200 header, ARM7 still at 0x8000",
         [](FreshInput& in) {
             putLe32(in.header, 0x24, 0x02000000);
             putLe32(in.header, 0x84, 0);
         },
         0x200, 5000, 0x8000, 0x8C00, 0x8E00, 0x8E00, 0x8C09},
        {"header size 0 with secure entry becomes 0x4000",
         [](FreshInput& in) { putLe32(in.header, 0x84, 0); }, 0x4000, 0x4000, 0x8000, 0x8C00,
         0x8E00, 0x8E00, 0x8C09},
        {"odd header size rounds up",
         [](FreshInput& in) {
             putLe32(in.header, 0x24, 0x02000000);
             putLe32(in.header, 0x84, 0x201);
         },
         0x400, 0x800 + 5000, 0x8000, 0x8C00, 0x8E00, 0x8E00, 0x8C09},
        {"one file of 3 bytes: used size rounded to 4",
         [](FreshInput& in) { in.root.files.push_back(file("a", 3)); }, 0x4000, 0x4000, 0x8000,
         0x8C00, 0x8E00, 0x9004, 0x9004},
        {"an empty last file moves the used size, not the image's end",
         [](FreshInput& in) {
             in.root.files.push_back(file("a", 4));
             in.root.files.push_back(file("b", 0));
         },
         0x4000, 0x4000, 0x8000, 0x8C00, 0x8E00, 0x9200, 0x9004},
    };
    for (const OffsetCase& c : cases) {
        SCOPED_TRACE(c.name);
        FreshInput in = base();
        c.change(in);
        const FreshLayout l = layFreshTree(in, 0);
        EXPECT_EQ(field(l, 0x20), c.arm9Offset);
        EXPECT_EQ(field(l, 0x2C), c.arm9Size);
        EXPECT_EQ(field(l, 0x30), c.arm7Offset);
        EXPECT_EQ(region(l, RegionKind::Arm7).offset, c.arm7Offset);
        EXPECT_EQ(field(l, 0x40), c.fntOffset);
        EXPECT_EQ(field(l, 0x48), c.fatOffset);
        EXPECT_EQ(field(l, 0x80), c.used);
        EXPECT_EQ(l.layout.imageSize, c.imageSize);
    }
}

TEST(FreshTree, OverlayTablesBannerAndOverlaysFollowInOrder)
{
    FreshInput in = base();
    in.arm9Overlays = file("[system]/y9.bin", 64); // two entries
    in.arm7Overlays = file("[system]/y7.bin", 0);  // present but empty: offset 0
    in.banner = file("[system]/banner.bin", 0x840);
    in.overlays = {file("[system]/overlay/overlay_0000.bin", 10),
                   file("[system]/overlay/overlay_0001.bin", 0x300)};
    in.root.files = {file("x", 1)};
    const FreshLayout l = layFreshTree(in, 0);
    // y9 after the padded ARM9 (0x8000), ARM7 after it at the next 0x200.
    EXPECT_EQ(field(l, 0x50), 0x8000u);
    EXPECT_EQ(field(l, 0x54), 64u);
    EXPECT_EQ(field(l, 0x30), 0x8200u);
    EXPECT_EQ(field(l, 0x58), 0u);
    EXPECT_EQ(field(l, 0x5C), 0u);
    // Name table 8 + 2 + 1 = 11 bytes after the ARM7; FAT of three files; the banner after it.
    EXPECT_EQ(field(l, 0x40), 0x8E00u);
    EXPECT_EQ(field(l, 0x44), 11u);
    EXPECT_EQ(field(l, 0x48), 0x9000u);
    EXPECT_EQ(field(l, 0x4C), 24u);
    EXPECT_EQ(field(l, 0x68), 0x9200u);
    const std::vector<std::uint8_t>& fat = made(l, RegionKind::Fat);
    ASSERT_EQ(fat.size(), 24u);
    // Overlays take IDs 0 and 1, each at the next 0x200 after the banner; the file ID 2.
    const std::vector<std::uint32_t> ranges = {0x9C00, 0x9C0A, 0x9E00, 0xA100, 0xA200, 0xA201};
    for (std::size_t i = 0; i < ranges.size(); ++i)
        EXPECT_EQ(le32(fat, 4 * i), ranges[i]) << i;
    EXPECT_EQ(l.fileIds.front(),
              (std::pair<std::string, std::uint32_t>{"[system]/overlay/overlay_0000.bin", 0}));
    EXPECT_EQ(l.fileIds.back(), (std::pair<std::string, std::uint32_t>{"x", 2}));
}

// root: b, a, B, folders z/ (f) and c/ (h, y/ (g)): depth-first numbering differs from
// breadth-first here.
FreshFolder sampleTree()
{
    FreshFolder y{"y", {file("c/y/g", 1)}, {}};
    FreshFolder z{"z", {file("z/f", 1)}, {}};
    FreshFolder c{"c", {file("c/h", 1)}, {y}};
    return {"", {file("b", 1), file("a", 1), file("B", 1)}, {z, c}};
}

TEST(FreshTree, NamesSortByBytesFilesFirstFoldersDepthFirst)
{
    FreshInput in = base();
    in.root = sampleTree();
    in.arm9Overlays = file("[system]/y9.bin", 32);
    in.overlays = {file("[system]/overlay/overlay_0000.bin", 1)};
    const FreshLayout l = layFreshTree(in, 0);
    const std::vector<std::pair<std::string, std::uint32_t>> ids = {
        {"[system]/overlay/overlay_0000.bin", 0},
        {"B", 1},
        {"a", 2},
        {"b", 3},
        {"c/h", 4},
        {"c/y/g", 5},
        {"z/f", 6}};
    EXPECT_EQ(l.fileIds, ids);

    const std::vector<std::uint8_t>* fnt = &made(l, RegionKind::Fnt);
    // Main table: root, c (F001), c/y (F002), z (F003): first file ID and parent.
    const std::vector<std::pair<std::uint16_t, std::uint16_t>> folders = {
        {1, 4}, {4, 0xF000}, {5, 0xF001}, {6, 0xF000}};
    for (std::size_t i = 0; i < folders.size(); ++i) {
        EXPECT_EQ(le16(*fnt, 8 * i + 4), folders[i].first) << i;
        EXPECT_EQ(le16(*fnt, 8 * i + 6), folders[i].second) << i;
    }
    // The root's sub-table: files B, a, b, then folders c (F001) and z (F003), then the end.
    const std::vector<std::uint8_t> root = {1,    'B',  1,    'a', 1,    'b',  0x81, 'c',
                                            0x01, 0xF0, 0x81, 'z', 0x03, 0xF0, 0};
    const std::size_t at = le32(*fnt, 0);
    EXPECT_EQ(at, 32u);
    EXPECT_EQ(std::vector<std::uint8_t>(fnt->begin() + at, fnt->begin() + at + root.size()), root);
    // Sub-tables in depth-first order: c's right after the root's.
    EXPECT_EQ(le32(*fnt, 8), at + root.size());
    EXPECT_EQ(fnt->size(), le32(l.generated.front().bytes, 0x44));
}

TEST(FreshTree, HolesAreFilledAndEveryByteIsCoveredOnce)
{
    FreshInput in = base();
    in.root = sampleTree();
    in.banner = file("[system]/banner.bin", 0x840);
    for (const std::uint8_t fill : {0x00, 0xFF}) {
        const FreshLayout l = layFreshTree(in, fill);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        for (const Region& r : l.layout.regions)
            if (r.size)
                spans.emplace_back(r.offset, r.size);
        for (const cartscope::core::rebuild::Run& r : l.layout.runs) {
            EXPECT_EQ(r.fill, fill);
            spans.emplace_back(r.offset, r.size);
        }
        std::sort(spans.begin(), spans.end());
        std::uint64_t at = 0;
        for (const auto& [offset, size] : spans) {
            EXPECT_EQ(offset, at);
            at = offset + size;
        }
        EXPECT_EQ(at, l.layout.imageSize);
    }
}

TEST(FreshTree, HeaderFieldsSetAsThePackerSetsThem)
{
    FreshInput in = base();
    in.header[0x1E] = 3;                  // ROM version: kept
    in.header[0xC0] = 0x55;               // logo: replaced for a 0x4000 header
    putLe32(in.header, 0x60, 0x12345678); // ROM control words: set
    putLe32(in.header, 0x34, 0);          // ARM7 entry and RAM address: defaulted
    putLe32(in.header, 0x38, 0);
    in.root.files = {file("big", 0x20000)}; // used size past 128 KiB: capacity 1
    const FreshLayout l = layFreshTree(in, 0);
    const std::vector<std::uint8_t>& h = l.generated.front().bytes;
    ASSERT_EQ(h.size(), 0x200u);
    EXPECT_EQ(h[0x1E], 3);
    EXPECT_EQ(le32(h, 0x60), 0x00586000u);
    EXPECT_EQ(le32(h, 0x64), 0x001808F8u);
    EXPECT_EQ(le32(h, 0x34), 0x037F8000u);
    EXPECT_EQ(le32(h, 0x38), 0x037F8000u);
    EXPECT_EQ(h[0x14], 1);
    EXPECT_EQ(le16(h, 0x15C), 0xCF56); // the boot logo's CRC-16
    EXPECT_EQ(le16(h, 0x15C),
              cartscope::core::crc16::Crc16OfStream(std::span(h).subspan(0xC0, 156)));

    // A 0x200 header keeps its own logo; a small image has capacity 0; an image without ARM9
    // addresses runs from 0x02000000.
    FreshInput small = base();
    putLe32(small.header, 0x24, 0);
    putLe32(small.header, 0x28, 0);
    putLe32(small.header, 0x84, 0x200);
    small.header[0xC0] = 0x55;
    const FreshLayout smallLayout = layFreshTree(small, 0);
    const std::vector<std::uint8_t>& s = smallLayout.generated.front().bytes;
    EXPECT_EQ(s[0xC0], 0x55);
    EXPECT_EQ(s[0x14], 0);
    EXPECT_EQ(le32(s, 0x24), 0x02000000u);
    EXPECT_EQ(le32(s, 0x28), 0x02000000u);
    EXPECT_EQ(le32(s, 0x20), 0x200u);
}

TEST(FreshTree, RefusesWhatCannotBeLaidOut)
{
    const std::vector<std::pair<std::string, std::function<void(FreshInput&)>>> cases = {
        {"is a DSi header", [](FreshInput& in) { in.header[0x12] = 0x02; }},
        {"name 1 overlays", [](FreshInput& in) { in.arm9Overlays = file("y9", 32); }},
        {"holds 1", [](FreshInput& in) { in.overlays = {file("o", 1)}; }},
        {"past 4 GiB", [](FreshInput& in) { in.arm9 = file("a", 0xFFFFFFFF); }},
        {"past 4 GiB",
         [](FreshInput& in) {
             in.root.files = {file("a", 0x80000000), file("b", 0x80000000)};
         }},
        {"more than 4,095 folders",
         [](FreshInput& in) {
             in.root.folders.assign(4096, FreshFolder{"d", {}, {}});
         }},
        {"more than 65,536 files",
         [](FreshInput& in) { in.root.files.assign(65537, file("f", 0)); }},
    };
    for (const auto& [message, change] : cases) {
        SCOPED_TRACE(message);
        FreshInput in = base();
        change(in);
        try {
            layFreshTree(in, 0);
            ADD_FAILURE() << "not refused";
        } catch (const cartscope::core::Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    // The limits themselves are laid out.
    FreshInput edge = base();
    edge.root.folders.assign(4095, FreshFolder{"d", {}, {}});
    edge.root.files.assign(65536, file("f", 0));
    EXPECT_NO_THROW(layFreshTree(edge, 0));
}

} // namespace
