// Writing images: trim plans, checksum fixes, signed regions, BPS and IPS patches, and the
// whole-file writer's rules.
#include <dirent.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/le.h"
#include "core/image/header_record.h"
#include "core/image/raw_header.h"
#include "core/io/stream.h"
#include "core/load.h"
#include "core/rebuild/bps.h"
#include "core/rebuild/fix_checksums.h"
#include "core/rebuild/ips.h"
#include "core/rebuild/layout_writer.h"
#include "core/rebuild/output_file.h"
#include "core/rebuild/signed_regions.h"
#include "core/rebuild/trim_pad.h"
#include "tests/fixture/crc32_reference.h"
#include "tests/fixture/image_builder.h"

namespace cartscope {
namespace {

using core::MemoryStream;
using fixture::Bytes;
using fixture::ImageBuilder;

// An image of 0x9000 used bytes on a 256 KiB chip, cut to `size` and padded with `fill`.
Bytes image(std::size_t size, std::uint8_t fill = 0xFF)
{
    Bytes b = ImageBuilder().gameCode("ABCE").deviceCapacity(1).minSize(0x9000).build();
    for (std::size_t i = 0x8000; i < 0x9000; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 1);
    b.resize(size, fill);
    return b;
}

std::uint32_t refCrc(std::span<const std::uint8_t> bytes)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t b : bytes)
        crc = reference::Crc32Update(b, crc);
    return ~crc;
}

// Files in a folder, hidden ones included.
std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    for (dirent* e = dir ? ::readdir(dir) : nullptr; e; e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.emplace_back(e->d_name);
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------------------------
// Trim plans.

TEST(TrimPlan, CutsAtTheUsedSizeAndNamesTheFirstDataByte)
{
    struct Case {
        const char* name;
        Bytes bytes;
        std::uint64_t used;
        std::optional<std::uint8_t> padding;
        std::optional<std::uint64_t> firstData;
    };
    Bytes dataAtEnd = image(0x20000);
    dataAtEnd[0x1FFFF] = 0x00;
    Bytes foreignFirst = image(0x20000, 0x00);
    foreignFirst[0x9000] = 0x5A;
    Bytes zeroThenFf = image(0x20000, 0x00);
    std::fill(zeroThenFf.begin() + 0x9800, zeroThenFf.end(), 0xFF);
    Bytes download = image(0x20000);
    const Bytes block = {0x61, 0x63, 0x01, 0x00, 0x12, 0x34};
    std::copy(block.begin(), block.end(), download.begin() + 0x9000);
    const Case cases[] = {
        {"0xFF padding", image(0x40000), 0x9000, 0xFF, std::nullopt},
        {"0x00 padding", image(0x40000, 0x00), 0x9000, 0x00, std::nullopt},
        {"already trimmed", image(0x9000), 0x9000, std::nullopt, std::nullopt},
        {"data in the last byte", dataAtEnd, 0x9000, std::nullopt, 0x1FFFF},
        {"a first byte that is no padding", foreignFirst, 0x9000, std::nullopt, 0x9000},
        {"0x00 then 0xFF", zeroThenFf, 0x9000, std::nullopt, 0x9800},
        {"Download Play block kept", download, 0x9088, 0xFF, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const core::TrimPlan plan = core::planTrim(MemoryStream(c.bytes));
        EXPECT_EQ(plan.usedSize, c.used);
        EXPECT_EQ(plan.padding, c.padding);
        EXPECT_EQ(plan.firstData, c.firstData);
    }
}

TEST(TrimPlan, RefusesWhatCannotBeTrimmed)
{
    Bytes notImage(0x9000, 0x11);
    Bytes tinyUsed = ImageBuilder().poke32(0x80, 0x100).build();
    const std::pair<const char*, Bytes> cases[] = {
        {"Not a DS image", notImage},
        {"over-trimmed", image(0x8800)},
        {"smaller than the header", tinyUsed},
    };
    for (const auto& [text, bytes] : cases) {
        SCOPED_TRACE(text);
        try {
            core::planTrim(MemoryStream(bytes));
            ADD_FAILURE() << "no error";
        } catch (const core::Error& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

TEST(PadSize, ChipPowerOfTwoAndRefusals)
{
    const Bytes trimmed = image(0x9000);
    EXPECT_EQ(core::padTargetSize(MemoryStream(trimmed), core::PadSize::Chip), 0x40000u);
    EXPECT_EQ(core::padTargetSize(MemoryStream(trimmed), core::PadSize::PowerOfTwo), 0x10000u);
    const Bytes noChip = ImageBuilder().deviceCapacity(0x20).build();
    EXPECT_THROW(core::padTargetSize(MemoryStream(noChip), core::PadSize::Chip), core::Error);
}

// ---------------------------------------------------------------------------------------------
// Checksum fixes.

Bytes bannerImage(bool dsi = false)
{
    fixture::VersionedBanner layout;
    layout.version = 0x0103;
    layout.base = fixture::sampleBanner();
    layout.animation.sequence = {0x0101};
    ImageBuilder b;
    b.gameCode("ABCE").rawBanner(fixture::bannerBlock(layout));
    if (dsi)
        b.unitCode(0x03);
    return b.build();
}

TEST(ChecksumFix, ChangesOnlyWhatIsWrongAndNamesEachField)
{
    const Bytes good = bannerImage();
    const std::uint32_t banner = core::le32(good, 0x68);
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, std::uint8_t>> pokes;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"nothing wrong", {}, {}},
        {"header CRC-16", {{0x15E, 0x00}, {0x15F, 0x00}}, {"HeaderCRC16"}},
        {"a header byte the CRC-16 covers", {{0x1E, 0x42}}, {"HeaderCRC16"}},
        {"original banner CRC-16", {{banner + 2, 0x00}}, {"BannerCRC16[020-83F]"}},
        {"animation CRC-16 and header",
         {{banner + 8, 0x01}, {0x15E, 0x01}},
         {"HeaderCRC16", "BannerCRC16[1240-23BF]"}},
        {"a Chinese title byte, under two ranges",
         {{banner + 0x900, 0x41}},
         {"BannerCRC16[020-93F]", "BannerCRC16[020-A3F]"}},
        // The logo and secure-area CRC-16s are never rewritten.
        {"logo CRC-16", {{0x15C, 0x00}}, {"HeaderCRC16"}},
        {"secure-area CRC-16", {{0x6C, 0x00}}, {"HeaderCRC16"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = good;
        for (const auto& [at, v] : c.pokes)
            b[at] = v;
        const core::ChecksumFix fix = core::planChecksumFix(MemoryStream(b));
        std::vector<std::string> fields;
        for (const auto& change : fix.changes)
            fields.push_back(change.field);
        EXPECT_EQ(fields, c.fields);
        // Applying the fix gives an image with every header and banner CRC-16 right again,
        // the pokes to the logo and secure-area CRC-16s kept.
        Bytes fixed = b;
        for (const auto& [at, v] : fix.bytes)
            fixed[at] = v;
        EXPECT_TRUE(core::planChecksumFix(MemoryStream(fixed)).changes.empty());
        EXPECT_EQ(fixed[0x15C], b[0x15C]);
        EXPECT_EQ(fixed[0x6C], b[0x6C]);
        EXPECT_EQ(fixed[0x15E], fixture::crc16Modbus(fixed.data(), 0x15E) & 0xFF);
        EXPECT_FALSE(fix.brokenSignature);
    }
}

TEST(ChecksumFix, TooShortForAHeaderIsRefused)
{
    const Bytes b(0x15F, 0);
    EXPECT_THROW(core::planChecksumFix(MemoryStream(b)), core::Error);
}

// ---------------------------------------------------------------------------------------------
// Signed regions.

TEST(SignedRegions, ChangesUnderASignatureAreFound)
{
    const auto header = [](const Bytes& b) {
        return core::decodeHeader(core::RawHeader::fromBytes(b));
    };
    Bytes dsi = bannerImage(true);
    dsi[0xF80] = 0x01; // RSA signature
    Bytes dsiHmacOnly = bannerImage(true);
    dsiHmacOnly[0x33C] = 0x01; // banner HMAC
    const std::uint32_t banner = core::le32(dsiHmacOnly, 0x68);
    Bytes lateDs = bannerImage();
    lateDs[0x33C] = 0x01;
    lateDs[0x84] = 0x00; // header size 0x4000
    lateDs[0x85] = 0x40;
    Bytes homebrewDs = bannerImage(); // header size 0x200: the bytes at 0x300 may be code
    homebrewDs[0x84] = 0x00;
    homebrewDs[0x85] = 0x02;
    homebrewDs[0x33C] = 0x01;
    homebrewDs[0xF80] = 0x01;
    const core::ByteRange headerCrc{0x15E, 2};
    const core::ByteRange bannerCrc{banner + 2, 2};
    struct Case {
        const char* name;
        const Bytes& bytes;
        core::ByteRange changed;
        std::optional<std::string> broken;
    };
    const Case cases[] = {
        {"DSi header under RSA", dsi, headerCrc, "RSA signature"},
        {"DSi header past the signed 0xE00 bytes", dsi, {0xE00, 0x10}, std::nullopt},
        {"DSi banner under its HMAC", dsiHmacOnly, bannerCrc, "Banner HMAC"},
        {"DSi header without RSA", dsiHmacOnly, headerCrc, std::nullopt},
        {"late DS banner HMAC", lateDs, bannerCrc, "Banner HMAC"},
        {"homebrew DS, no DSi half", homebrewDs, bannerCrc, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::array<core::ByteRange, 1> changed = {c.changed};
        EXPECT_EQ(core::brokenSignature(header(c.bytes), c.bytes.size(), changed), c.broken);
    }
}

TEST(SignedRegions, FixWarnsWhenItChangesASignedHeader)
{
    Bytes b = bannerImage(true);
    b[0xF80] = 0x01;
    b[0x15E] ^= 0xFF;
    const core::ChecksumFix fix = core::planChecksumFix(MemoryStream(b));
    ASSERT_EQ(fix.changes.size(), 1u);
    EXPECT_EQ(fix.brokenSignature, "RSA signature");
}

// ---------------------------------------------------------------------------------------------
// BPS.

// Writes a patch through the product's encoder into a file and reads it back.
Bytes makeBps(const Bytes& source, const Bytes& target)
{
    fixture::TempDir dir;
    const std::string path = dir.file("p.bps");
    {
        core::OutputFile out(path, core::Overwrite::Refuse);
        core::writeBps(MemoryStream(source), MemoryStream(target), out);
        out.commit();
    }
    return fixture::readFile(path);
}

// Bytes without the short periods of the fixture's pattern (xorshift), so a match found is the
// one meant.
Bytes noise(std::size_t n, std::uint32_t seed)
{
    Bytes b(n);
    std::uint32_t x = seed | 1U;
    for (auto& byte : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
}

TEST(Bps, DiffThenPatchGivesTheEditedImage)
{
    const Bytes base = noise(0x30000, 3);
    Bytes oneByte = base;
    oneByte[0x12345] ^= 0x5A;
    Bytes inserted = base; // 100 new bytes in the middle shift the rest
    inserted.insert(inserted.begin() + 0x8000, 100, 0x77);
    Bytes moved(base.begin() + 0x20000, base.end()); // blocks swapped
    moved.insert(moved.end(), base.begin(), base.begin() + 0x20000);
    Bytes padded = base;
    padded.resize(0x80000, 0xFF);
    Bytes cut(base.begin(), base.begin() + 0x1000);
    const Bytes fresh = noise(0x5000, 9);
    struct Case {
        const char* name;
        Bytes source;
        Bytes target;
        std::size_t most; // the largest patch that is reasonable
    };
    const Case cases[] = {
        {"identical", base, base, 64},
        {"one byte changed", base, oneByte, 64},
        {"bytes inserted", base, inserted, 256},
        {"blocks moved", base, moved, 256},
        {"padded with 0xFF", base, padded, 64},
        {"the fixture's periodic pattern shifted", fixture::pattern(0x30000, 3),
         [] {
             Bytes b = fixture::pattern(0x30000, 3);
             b.insert(b.begin() + 0x8000, 100, 0x77);
             return b;
         }(),
         4096},
        {"cut short", base, cut, 64},
        {"nothing in common", base, fresh, 0x5000 + 64},
        {"from nothing", {}, fresh, 0x5000 + 64},
        {"to nothing", base, {}, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes patch = makeBps(c.source, c.target);
        EXPECT_LE(patch.size(), c.most);
        // The footer as the format defines it, against the reference CRC-32.
        ASSERT_GE(patch.size(), 16u);
        EXPECT_EQ(core::le32(patch, patch.size() - 12), refCrc(c.source));
        EXPECT_EQ(core::le32(patch, patch.size() - 8), refCrc(c.target));
        EXPECT_EQ(core::le32(patch, patch.size() - 4),
                  refCrc(std::span(patch).first(patch.size() - 4)));
        EXPECT_EQ(core::applyBps(patch, MemoryStream(c.source)), c.target);
    }
}

// A BPS number appended.
void number(Bytes& p, std::uint64_t v)
{
    while (true) {
        const auto x = static_cast<std::uint8_t>(v & 0x7F);
        v >>= 7;
        if (v == 0) {
            p.push_back(0x80 | x);
            return;
        }
        p.push_back(x);
        --v;
    }
}

// A patch built by hand: the header, the actions and a footer with right CRC-32s.
Bytes bps(std::uint64_t sourceSize, std::uint64_t targetSize, const Bytes& actions,
          const Bytes& source, const Bytes& target)
{
    Bytes p = {'B', 'P', 'S', '1'};
    number(p, sourceSize);
    number(p, targetSize);
    number(p, 0);
    p.insert(p.end(), actions.begin(), actions.end());
    fixture::le32(p, refCrc(source));
    fixture::le32(p, refCrc(target));
    fixture::le32(p, refCrc(p));
    return p;
}

TEST(Bps, HostilePatchesAreRefused)
{
    const Bytes source = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes target = {1, 2, 3, 4};
    // Action bytes: (length - 1) << 2 | action, with the top bit ending a one-byte number.
    const auto act = [](std::uint8_t length, std::uint8_t action) {
        return static_cast<std::uint8_t>(0x80 | ((length - 1) << 2) | action);
    };
    Bytes wrongPatchCrc = bps(8, 4, {act(4, 0)}, source, target);
    wrongPatchCrc.back() ^= 1;
    struct Case {
        const char* name;
        Bytes patch;
        const char* message;
    };
    const Case cases[] = {
        {"valid", bps(8, 4, {act(4, 0)}, source, target), nullptr},
        {"empty", {}, "Not a BPS patch"},
        {"magic only", {'B', 'P', 'S', '1'}, "Not a BPS patch"},
        {"patch CRC wrong", wrongPatchCrc, "its CRC-32 is wrong"},
        {"source size differs", bps(9, 4, {act(4, 0)}, source, target), "an image of 9 bytes"},
        {"source CRC differs", bps(8, 4, {act(4, 0)}, target, target), "for another image"},
        {"target CRC differs", bps(8, 4, {act(4, 0)}, source, source), "not the"},
        {"past the target", bps(8, 4, {act(5, 0)}, source, target), "past the end of the target"},
        {"source read past the source", bps(8, 12, {act(12, 0)}, source, Bytes(12)),
         "past the end of the source"},
        {"new bytes past the actions", bps(8, 4, {act(4, 1), 1, 2}, source, target),
         "past the end of the actions"},
        {"source copy before the start", bps(8, 4, {act(4, 2), 0x83}, source, target),
         "outside the source"},
        {"source copy past the end", bps(8, 4, {act(4, 2), 0x8E}, source, target),
         "past the end of the source"},
        {"target copy of nothing written", bps(8, 4, {act(4, 3), 0x80}, source, target),
         "outside the target"},
        {"target copy ahead", bps(8, 4, {act(1, 0), act(3, 3), 0x82}, source, target),
         "outside the target"},
        {"number too long", bps(8, 4, Bytes(11, 0x00), source, target), "too large"},
        {"actions end early", bps(8, 4, {act(2, 0)}, source, target), "before the target"},
        {"a huge target for a tiny patch", bps(8, std::uint64_t{1} << 33, {}, source, target),
         "more than the"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            const Bytes made = core::applyBps(c.patch, MemoryStream(source));
            EXPECT_EQ(c.message, nullptr);
            EXPECT_EQ(made, target);
        } catch (const core::Error& e) {
            ASSERT_NE(c.message, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(Bps, TargetCopyRepeatsOverlappingBytes)
{
    const Bytes source = {9};
    Bytes target(1000, 9);
    target.push_back(7);
    // SourceRead 1, TargetCopy 999 from offset 0 (one byte behind), TargetRead 1 byte.
    Bytes actions = {0x80};
    number(actions, (998 << 2) | 3);
    number(actions, 0);
    actions.insert(actions.end(), {0x81, 0x07});
    EXPECT_EQ(core::applyBps(bps(1, 1001, actions, source, target), MemoryStream(source)), target);
}

// ---------------------------------------------------------------------------------------------
// IPS.

Bytes ips(std::initializer_list<Bytes> records, Bytes tail = {'E', 'O', 'F'})
{
    Bytes p = {'P', 'A', 'T', 'C', 'H'};
    for (const Bytes& r : records)
        p.insert(p.end(), r.begin(), r.end());
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

TEST(Ips, RecordsRepeatsGrowthAndTruncation)
{
    const Bytes source = {0, 1, 2, 3, 4, 5, 6, 7};
    struct Case {
        const char* name;
        Bytes patch;
        Bytes result;
    };
    const Case cases[] = {
        {"no records", ips({}), source},
        {"one record", ips({{0, 0, 2, 0, 2, 0xAA, 0xBB}}), {0, 1, 0xAA, 0xBB, 4, 5, 6, 7}},
        {"a later record wins",
         ips({{0, 0, 1, 0, 1, 0xAA}, {0, 0, 1, 0, 1, 0xBB}}),
         {0, 0xBB, 2, 3, 4, 5, 6, 7}},
        {"repeated byte", ips({{0, 0, 4, 0, 0, 0, 3, 0xCC}}), {0, 1, 2, 3, 0xCC, 0xCC, 0xCC, 7}},
        {"growth with a gap", ips({{0, 0, 10, 0, 1, 0xDD}}), {0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0xDD}},
        {"truncated", ips({}, {'E', 'O', 'F', 0, 0, 3}), {0, 1, 2}},
        {"patched then truncated",
         ips({{0, 0, 6, 0, 2, 0xEE, 0xEE}}, {'E', 'O', 'F', 0, 0, 7}),
         {0, 1, 2, 3, 4, 5, 0xEE}},
    };
    fixture::TempDir dir;
    const core::MemoryStream stream(source);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(core::applyIps(c.patch, source), c.result);
        // Written to a file, as the command line and the window write it: the same bytes.
        const std::string out = dir.file(std::string(c.name) + ".bin");
        core::OutputFile file(out, core::Overwrite::Refuse);
        core::writeIps(c.patch, stream, file);
        file.commit();
        EXPECT_EQ(fixture::readFile(out), c.result);
    }
}

TEST(Ips, HostilePatchesAreRefused)
{
    const Bytes source(16, 0);
    const std::pair<const char*, Bytes> cases[] = {
        {"Not an IPS patch", {'P', 'A', 'T'}},
        {"no end marker", ips({}, {})},
        {"runs past the end", ips({{0, 0, 1, 0}}, {})},
        {"runs past the end", ips({{0, 0, 1, 0, 9, 1, 2}}, {})},
        {"runs past the end", ips({{0, 0, 1, 0, 0, 0}}, {})},
        {"follow the end marker", ips({}, {'E', 'O', 'F', 1})},
        {"truncation size", ips({}, {'E', 'O', 'F', 0, 0, 17})},
    };
    for (const auto& [message, patch] : cases) {
        SCOPED_TRACE(message);
        try {
            core::applyIps(patch, source);
            ADD_FAILURE() << "no error";
        } catch (const core::Error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    // The furthest record reachable: 16 MiB + 64 KiB, by the format's own widths.
    const Bytes far = ips({{0xFF, 0xFF, 0xFE, 0, 0, 0xFF, 0xFF, 0x01}});
    EXPECT_EQ(core::applyIps(far, source).size(), core::kIpsReach - 1);
}

// ---------------------------------------------------------------------------------------------
// The whole-file writer.

TEST(OutputFile, NothingIsLeftWithoutACommitAndTheRulesHold)
{
    fixture::TempDir dir;
    const std::string out = dir.file("out.nds");
    {
        core::OutputFile file(out, core::Overwrite::Refuse);
        file.write(Bytes{1, 2, 3});
    }
    EXPECT_TRUE(namesIn(dir.path()).empty());

    fixture::writeFile(dir.file("in.nds"), {9});
    EXPECT_EQ(core::checkDestination(dir.file("in.nds"), out, false, false),
              core::Overwrite::Refuse);
    fixture::writeFile(out, {7});
    EXPECT_THROW(core::checkDestination(dir.file("in.nds"), out, false, false), core::Error);
    EXPECT_EQ(core::checkDestination(dir.file("in.nds"), out, true, false),
              core::Overwrite::Replace);
    // The input itself, by its name, a symbolic link or a hard link.
    ASSERT_EQ(::symlink("in.nds", dir.file("link.nds").c_str()), 0);
    ASSERT_EQ(::link(dir.file("in.nds").c_str(), dir.file("hard.nds").c_str()), 0);
    for (const char* name : {"in.nds", "link.nds", "hard.nds"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(core::checkDestination(dir.file("in.nds"), dir.file(name), true, false),
                     core::Error);
        EXPECT_EQ(core::checkDestination(dir.file("in.nds"), dir.file(name), false, true),
                  core::Overwrite::Replace);
    }

    // A destination that appears while a refusing write runs is not replaced.
    {
        core::OutputFile file(dir.file("late.nds"), core::Overwrite::Refuse);
        file.write(Bytes{1});
        fixture::writeFile(dir.file("late.nds"), {5});
        EXPECT_THROW(file.commit(), core::Error);
    }
    EXPECT_EQ(fixture::readFile(dir.file("late.nds")), Bytes{5});

    // Replacing through a link writes the file it names and keeps its mode.
    ASSERT_EQ(::chmod(dir.file("in.nds").c_str(), 0600), 0);
    {
        core::OutputFile file(dir.file("link.nds"), core::Overwrite::Replace);
        file.fill(0xAB, 3);
        file.commit();
    }
    EXPECT_EQ(fixture::readFile(dir.file("in.nds")), (Bytes{0xAB, 0xAB, 0xAB}));
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("link.nds").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(dir.file("in.nds").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The layout read ahead of a run that never writes it (the run failed or was cancelled) is
// dropped at once, whatever it was doing: waiting for the run or reading the image. (A drop that
// waited for the run would never end: the test's time limit catches it.)
TEST(LayoutInAdvance, ARunThatWritesNoLayoutDropsItAtOnce)
{
    const Bytes bytes = fixture::systemImage({}).build();
    MemoryStream stream(bytes);
    const core::LoadedImage img = core::loadImage(stream);
    std::vector<core::FileRow> rows = img.rows;
    for (core::FileRow& r : core::systemRows(core::systemFiles(stream, img.header)))
        rows.push_back(std::move(r));
    const auto plan = core::planExtraction("/nonexistent-cartscope-dir", "G", rows);
    const core::rebuild::WrittenNames renamed;
    for (const std::size_t told : {std::size_t{0}, plan.size() / 2}) {
        {
            core::rebuild::LayoutInAdvance layout({stream, img.header, img.files, img.dirs, plan,
                                                   renamed, "/nonexistent-cartscope-dir", "G"});
            if (told)
                layout.progress({told, plan.size(), 0, &plan[told]});
        } // a drop that waited for the run would hang here
    }
}

} // namespace
} // namespace cartscope
