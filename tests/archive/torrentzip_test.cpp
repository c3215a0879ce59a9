#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "archive/collection_scan.h"
#include "archive/organise_plan.h"
#include "archive/staged_copy.h"
#include "archive/staged_zip.h"
#include "archive/torrentzip.h"
#include "core/base/error.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"
#include "core/rebuild/output_file.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/dat_fixture.h"
#include "tests/fixture/image_builder.h"
#include "tests/fixture/other_fs_dir.h"

namespace cartscope {
namespace {

using fixture::Bytes;

std::uint32_t le16(const Bytes& b, std::size_t at)
{
    return b.at(at) | (std::uint32_t{b.at(at + 1)} << 8);
}
std::uint32_t le32(const Bytes& b, std::size_t at)
{
    return le16(b, at) | (le16(b, at + 2) << 16);
}

archive::ZipMember member(std::string name, Bytes data)
{
    return {
        std::move(name), [data](const archive::ByteSink& take) {
            // Handed over in uneven pieces, as a member read from an archive would be.
            for (std::size_t at = 0; at < data.size(); at += 70000)
                take(std::span(data).subspan(at, std::min<std::size_t>(70000, data.size() - at)));
        }};
}

Bytes zipOf(std::vector<archive::ZipMember> members, archive::ZipStyle style)
{
    const fixture::TempDir dir;
    const std::string path = dir.file("t.zip");
    core::OutputFile out(path, core::Overwrite::Refuse);
    archive::writeZip(out, std::move(members), style);
    out.commit();
    return fixture::readFile(path);
}

Bytes inflateRaw(const Bytes& in, std::size_t size)
{
    Bytes out(size + 1); // never empty, so zlib has somewhere to write
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflateEnd(&z);
    out.resize(size);
    return out;
}

Bytes deflate9(const Bytes& in)
{
    Bytes out(compressBound(static_cast<uLong>(in.size())) + 64);
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::uint32_t crcOf(const Bytes& b, std::size_t at = 0, std::size_t n = std::string::npos)
{
    n = std::min(n, b.size() - at);
    return static_cast<std::uint32_t>(crc32(0, b.data() + at, static_cast<uInt>(n)));
}

TEST(TorrentZip, EveryFieldOfTheLayout)
{
    Bytes big(300000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 9));
    const Bytes small = {'h', 'i'};
    // Written out of order: "a" < "B" < "c" ignoring case, though 'B' < 'a' in bytes.
    const Bytes zip =
        zipOf({member("c\xC3\xA9.nds", small), member("a.nds", big), member("B.nds", Bytes{})},
              archive::ZipStyle::TorrentZip);
    struct Want {
        std::string name;
        Bytes data;
        std::uint32_t flags;
    };
    const std::vector<Want> want = {
        {"a.nds", big, 2}, {"B.nds", {}, 2}, {"c\xC3\xA9.nds", small, 0x802}};

    std::size_t at = 0;
    std::vector<std::size_t> localAt;
    std::vector<std::uint32_t> compressed;
    for (const Want& w : want) {
        SCOPED_TRACE(w.name);
        localAt.push_back(at);
        EXPECT_EQ(le32(zip, at), 0x04034b50u);
        EXPECT_EQ(le16(zip, at + 4), 20u);      // version needed
        EXPECT_EQ(le16(zip, at + 6), w.flags);  // general purpose flags
        EXPECT_EQ(le16(zip, at + 8), 8u);       // deflate
        EXPECT_EQ(le16(zip, at + 10), 0xBC00u); // 23:32:00
        EXPECT_EQ(le16(zip, at + 12), 0x2198u); // 1996-12-24
        EXPECT_EQ(le32(zip, at + 14), crcOf(w.data));
        EXPECT_EQ(le32(zip, at + 22), w.data.size());
        EXPECT_EQ(le16(zip, at + 26), w.name.size());
        EXPECT_EQ(le16(zip, at + 28), 0u); // no extra field
        EXPECT_EQ(std::string(zip.begin() + at + 30, zip.begin() + at + 30 + w.name.size()),
                  w.name);
        const std::uint32_t csize = le32(zip, at + 18);
        compressed.push_back(csize);
        const Bytes data(zip.begin() + at + 30 + w.name.size(),
                         zip.begin() + at + 30 + w.name.size() + csize);
        // zlib's level 9 with memory level 8 and a raw window, byte for byte.
        EXPECT_EQ(data, deflate9(w.data));
        EXPECT_EQ(inflateRaw(data, w.data.size()), w.data);
        at += 30 + w.name.size() + csize; // no data descriptor follows
    }
    const std::size_t centralAt = at;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const Want& w = want[i];
        SCOPED_TRACE(w.name);
        EXPECT_EQ(le32(zip, at), 0x02014b50u);
        EXPECT_EQ(le16(zip, at + 4), 0u);  // version made by
        EXPECT_EQ(le16(zip, at + 6), 20u); // version needed
        EXPECT_EQ(le16(zip, at + 8), w.flags);
        EXPECT_EQ(le16(zip, at + 10), 8u);
        EXPECT_EQ(le16(zip, at + 12), 0xBC00u);
        EXPECT_EQ(le16(zip, at + 14), 0x2198u);
        EXPECT_EQ(le32(zip, at + 16), crcOf(w.data));
        EXPECT_EQ(le32(zip, at + 20), compressed[i]);
        EXPECT_EQ(le32(zip, at + 24), w.data.size());
        EXPECT_EQ(le16(zip, at + 28), w.name.size());
        EXPECT_EQ(le16(zip, at + 30), 0u); // extra
        EXPECT_EQ(le16(zip, at + 32), 0u); // comment
        EXPECT_EQ(le16(zip, at + 34), 0u); // disk
        EXPECT_EQ(le16(zip, at + 36), 0u); // internal attributes
        EXPECT_EQ(le32(zip, at + 38), 0u); // external attributes
        EXPECT_EQ(le32(zip, at + 42), localAt[i]);
        at += 46 + w.name.size();
    }
    const std::size_t centralSize = at - centralAt;
    EXPECT_EQ(le32(zip, at), 0x06054b50u);
    EXPECT_EQ(le16(zip, at + 4), 0u);
    EXPECT_EQ(le16(zip, at + 6), 0u);
    EXPECT_EQ(le16(zip, at + 8), 3u);
    EXPECT_EQ(le16(zip, at + 10), 3u);
    EXPECT_EQ(le32(zip, at + 12), centralSize);
    EXPECT_EQ(le32(zip, at + 16), centralAt);
    EXPECT_EQ(le16(zip, at + 20), 22u);
    char comment[32];
    std::snprintf(comment, sizeof comment, "TORRENTZIPPED-%08X",
                  static_cast<unsigned>(crcOf(zip, centralAt, centralSize)));
    EXPECT_EQ(std::string(zip.begin() + at + 22, zip.end()), comment);
    EXPECT_EQ(at + 22 + 22, zip.size());
}

TEST(TorrentZip, PlainZipIsTheSameBytesWithoutTheCommentAndOnlyTheRightCrcCounts)
{
    const auto members = [] {
        return std::vector<archive::ZipMember>{member("x.nds", Bytes(5000, 0xFF)),
                                               member("w.nds", Bytes(10, 1))};
    };
    const Bytes tz = zipOf(members(), archive::ZipStyle::TorrentZip);
    Bytes plain = zipOf(members(), archive::ZipStyle::Plain);
    ASSERT_EQ(plain.size() + 22, tz.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end() - 2, tz.begin()));
    EXPECT_EQ(le16(plain, plain.size() - 2), 0u);

    EXPECT_TRUE(archive::isTorrentZipped(core::MemoryStream(tz)));
    EXPECT_FALSE(archive::isTorrentZipped(core::MemoryStream(plain)));
    Bytes changed = tz; // a changed directory no longer matches its CRC-32
    changed[le32(tz, tz.size() - 44 + 16) + 12] ^= 1;
    EXPECT_FALSE(archive::isTorrentZipped(core::MemoryStream(changed)));
    Bytes wrongCrc = tz;
    wrongCrc.back() = wrongCrc.back() == '0' ? '1' : '0';
    EXPECT_FALSE(archive::isTorrentZipped(core::MemoryStream(wrongCrc)));
    EXPECT_FALSE(archive::isTorrentZipped(core::MemoryStream(Bytes(10, 0))));
}

// The peer's program (TRRNTZIP=/path/to/trrntzip; bench/torrentzip_compare.sh builds one from
// its source): it rewrites a plain zip of the same members in place, and the result must be our
// bytes exactly. Skipped when the environment names none.
std::string trrntzip()
{
    const char* path = std::getenv("TRRNTZIP");
    return path && *path && std::filesystem::exists(path) ? path : "";
}

// Bytes that deflate neither trivially nor not at all, as a game's mixed code and assets do.
Bytes mixed(std::size_t size, std::uint32_t seed)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = (i / 4096) % 2 ? static_cast<std::uint8_t>(seed >> 24)
                              : static_cast<std::uint8_t>("cartscope "[i % 10]);
    }
    return b;
}

TEST(TorrentZipCompare, TheSameMembersGiveThePeersBytes)
{
    if (trrntzip().empty())
        GTEST_SKIP() << "TRRNTZIP does not name a trrntzip program";
    Bytes padded = fixture::ImageBuilder().gameCode("ABCE").minSize(0x20000).build();
    padded.resize(3u << 20, 0xFF);
    const struct Case {
        const char* label;
        std::vector<std::pair<std::string, Bytes>> members;
    } cases[] = {
        {"one image", {{"Game (USA).nds", fixture::ImageBuilder().gameCode("ABCE").build()}}},
        {"names in mixed case",
         {{"b.nds", Bytes(100, 2)}, {"A.nds", Bytes(7, 1)}, {"C.nds", mixed(5000, 3)}}},
        {"an empty member", {{"game.nds", mixed(70000, 4)}, {"game.sav", {}}}},
        {"a trimmed image padded to 3 MiB", {{"Padded (Europe).nds", padded}}},
        {"incompressible bytes",
         {{"noise.bin",
           [] {
               Bytes b(300000);
               std::uint32_t x = 99;
               for (auto& v : b)
                   v = static_cast<std::uint8_t>((x = x * 69069u + 1) >> 24);
               return b;
           }()}}},
        {"blocks of 1 MiB and more", {{"big.nds", mixed(2500000, 5)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<archive::ZipMember> ours;
        std::vector<testzip::Entry> plain;
        for (const auto& [name, data] : c.members) {
            ours.push_back(member(name, data));
            plain.push_back(testzip::Entry::file(name, data));
        }
        const fixture::TempDir dir;
        const std::string path = dir.file("peer.zip");
        testzip::Options stored;
        stored.deflate = false;
        fixture::writeFile(path, testzip::buildZip(plain, stored));
        const std::string command = "'" + trrntzip() + "' -f -q -g -l -e '" + path + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(fixture::readFile(path), zipOf(std::move(ours), archive::ZipStyle::TorrentZip));
    }
}

// Names in a folder, "." and ".." aside.
std::size_t entriesIn(const std::string& folder)
{
    std::size_t n = 0;
    DIR* d = ::opendir(folder.c_str());
    while (const dirent* e = d ? ::readdir(d) : nullptr)
        n += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    if (d)
        ::closedir(d);
    return n;
}

TEST(StagedCopy, HoldsTheBytesReadAndIsNamedOnlyWhenPlacedWhole)
{
    const fixture::TempDir dir;
    const core::UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Bytes bytes = mixed(3u << 20, 7);
    const struct Case {
        const char* label;
        std::uint64_t skip;  // a gap in the blocks handed over at this position (0: none)
        std::uint64_t total; // what the read says it read
        bool taken;          // a file already has the name
        bool placed;
    } cases[] = {
        {"every block", 0, bytes.size(), false, true},
        {"a gap in the blocks", 1u << 20, bytes.size(), false, false},
        {"a read that says it read more", 0, bytes.size() + 1, false, false},
        {"a name already taken", 0, bytes.size(), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto staged = archive::StagedCopy::create(folder.get());
        ASSERT_TRUE(staged);
        EXPECT_EQ(entriesIn(dir.path()), 0u); // nothing named while it is written
        for (std::uint64_t at = 0; at < bytes.size(); at += core::kReadPassBlockSize)
            if (at != c.skip || c.skip == 0)
                staged->consume(
                    std::span(bytes).subspan(
                        at, std::min<std::size_t>(core::kReadPassBlockSize, bytes.size() - at)),
                    at);
        staged->finish(c.total);
        EXPECT_EQ(staged->holds(bytes.size()), c.skip == 0 && c.total == bytes.size());
        const std::string path = dir.file("placed.nds");
        if (c.taken)
            fixture::writeFile(path, Bytes{1});
        EXPECT_EQ(staged->place(path), c.placed);
        if (c.placed || c.taken)
            EXPECT_EQ(fixture::readFile(path), c.placed ? bytes : Bytes{1});
        else
            EXPECT_EQ(entriesIn(dir.path()), 0u);
        ::unlink(path.c_str());
        staged.reset();
        EXPECT_EQ(entriesIn(dir.path()), 0u); // a copy never placed leaves nothing
    }
}

// Every road a raw dump takes to its place, and whether it reads the dump again: the source is
// changed after it was verified, so only a second read sees the change.
TEST(OrganiseCarryOut, ARawDumpTakesItsStagedBytesWithoutReadingTheDumpAgain)
{
    Bytes trimmed =
        fixture::ImageBuilder().gameCode("ABCE").deviceCapacity(1).minSize(0x9000).build();
    for (std::size_t i = 0x8000; i < trimmed.size(); ++i)
        trimmed[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes full = testdat::padded(trimmed, 256 * 1024, 0xFF);
    core::DatSet dats;
    const std::string xml = testdat::datXml("Set", "1", {testdat::rom("G", full, "g.nds")});
    dats.addXml("s.dat", std::span(xml.data(), xml.size()));
    using Mode = archive::OrganiseMode;
    const struct Case {
        const char* label;
        Mode mode;
        bool pad;
        bool trimmed;      // the dump is `trimmed`, else `full`
        bool otherFs;      // the source lies on another file system than the destination
        bool staged;       // a copy was staged in the verification's read
        bool readAgain;    // the dump is opened a second time
        bool placesSource; // what is placed is the source as it is now, not as it was verified
        bool error;        // the move is refused and the source kept
    } cases[] = {
        {"copy, staged", Mode::Copy, false, false, false, true, false, false, false},
        {"copy, nothing staged", Mode::Copy, false, false, false, false, true, true, false},
        {"move, staged (a rename)", Mode::Move, false, false, false, true, false, true, false},
        {"copy --pad, staged", Mode::Copy, true, true, false, true, false, false, false},
        {"copy --pad, nothing staged", Mode::Copy, true, true, false, false, true, true, false},
        {"move --pad, one file system, staged", Mode::Move, true, true, false, true, false, false,
         false},
        {"move across file systems, staged", Mode::Move, false, false, true, true, false, false,
         false},
        {"move --pad across file systems, staged", Mode::Move, true, true, true, true, false, false,
         false},
        // Written by a second read, then read back: the change shows and the source stays.
        {"move across file systems, nothing staged", Mode::Move, false, false, true, false, true,
         true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fixture::TempDir dir;
        const fixture::OtherFileSystemDir other(dir.path());
        if (c.otherFs && other.path().empty()) {
            std::cerr << "no second file system: \"" << c.label << "\" not run\n";
            continue;
        }
        const Bytes& verified = c.trimmed ? trimmed : full;
        const Bytes wanted = c.pad ? full : verified;
        const std::string source = (c.otherFs ? other.path() : dir.path()) + "/source.nds";
        Bytes changed = verified;
        changed[0x8100] ^= 1;
        fixture::writeFile(source, changed);
        archive::Dump dump;
        dump.path = source;
        dump.result = *core::verifyStream(core::MemoryStream(verified), dats, false);
        ASSERT_EQ(dump.result.verdict,
                  c.trimmed ? core::Verdict::VerifiedTrimmed : core::Verdict::Verified);
        int opened = 0;
        dump.open = [&] {
            ++opened;
            return core::UniqueFd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        };
        const archive::OrganiseOptions options{dir.file("out"), archive::OrganiseFormat::Raw,
                                               c.mode, c.pad};
        ASSERT_EQ(::mkdir(options.to.c_str(), 0777), 0);
        if (c.staged) {
            const core::UniqueFd folder(::open(options.to.c_str(), O_RDONLY | O_DIRECTORY));
            dump.staged = std::make_shared<archive::StagedBytes>();
            dump.staged->copy = archive::StagedCopy::create(folder.get());
            core::ReadSink* const sinks[] = {dump.staged->copy.get()};
            core::readPass(core::MemoryStream(verified), sinks);
        }
        const std::vector<archive::Dump> dumps = {dump};
        const archive::Plan plan = archive::planOrganise(dumps, dats, options.format);
        ASSERT_EQ(plan.targets.size(), 1u);
        const std::string dest = archive::targetPath(options, plan.targets[0]);
        if (c.error) {
            EXPECT_THROW(archive::carryOut(plan.targets[0], dumps, dats, options), core::Error);
            EXPECT_EQ(fixture::readFile(source), changed);
            continue;
        }
        const archive::TargetOutcome outcome =
            archive::carryOut(plan.targets[0], dumps, dats, options);
        EXPECT_EQ(opened, c.readAgain ? 1 : 0);
        Bytes fromSource = changed;
        if (c.pad)
            fromSource.resize(full.size(), 0xFF);
        EXPECT_EQ(fixture::readFile(dest), c.placesSource ? fromSource : wanted);
        EXPECT_EQ(::access(source.c_str(), F_OK) == 0, c.mode == Mode::Copy);
        if (c.mode == Mode::Move && !c.placesSource) {
            EXPECT_EQ(outcome.removed, std::vector<std::string>{source});
        }
        EXPECT_EQ(entriesIn(options.to), 1u); // the folder of the DAT, nothing staged beside it
        if (dump.staged) {                    // closed once the target is done
            EXPECT_FALSE(dump.staged->copy->holds(verified.size()));
        }
    }
}

// A zip whose members were deflated in their dumps' verification read is written from them:
// no dump is opened again, and the bytes are the ones writeZip makes of the dumps' bytes (the
// padding deflated after the read, members in writeZip's order). One member not staged sends
// the whole zip back to reading its dumps.
TEST(OrganiseCarryOut, AZipTakesItsStagedMembersWithoutReadingTheDumpsAgain)
{
    const auto imageOf = [](const char* code, std::uint8_t seed) {
        Bytes b = fixture::ImageBuilder().gameCode(code).deviceCapacity(1).minSize(0x9000).build();
        for (std::size_t i = 0x8000; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i * seed + seed);
        return b;
    };
    const Bytes trimmed = imageOf("ABCE", 3);
    const Bytes trimmedPadded = testdat::padded(trimmed, 256 * 1024, 0x00);
    const Bytes full = testdat::padded(imageOf("ABCJ", 5), 256 * 1024, 0xFF);
    const std::string xml = "<datafile><header><name>Set</name></header><game name=\"G\">" +
                            testdat::romXml(testdat::rom("G", trimmedPadded, "b.nds")) +
                            testdat::romXml(testdat::rom("G", full, "A.nds")) +
                            "</game></datafile>";
    core::DatSet dats;
    dats.addXml("s.dat", std::span(xml.data(), xml.size()));
    using Mode = archive::OrganiseMode;
    using Format = archive::OrganiseFormat;
    const struct Case {
        const char* label;
        Format format;
        Mode mode;
        int staged; // how many of the two members were staged
    } cases[] = {
        {"zip, both staged", Format::Zip, Mode::Copy, 2},
        {"torrentzip, both staged", Format::TorrentZip, Mode::Copy, 2},
        {"torrentzip move, both staged", Format::TorrentZip, Mode::Move, 2},
        {"torrentzip, one staged", Format::TorrentZip, Mode::Copy, 1},
        {"zip move, none staged", Format::Zip, Mode::Move, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fixture::TempDir dir;
        const archive::OrganiseOptions options{dir.file("out"), c.format, c.mode, false};
        ASSERT_EQ(::mkdir(options.to.c_str(), 0777), 0);
        const core::UniqueFd folder(::open(options.to.c_str(), O_RDONLY | O_DIRECTORY));
        int opened = 0;
        std::vector<archive::Dump> dumps;
        for (const Bytes* bytes : {&trimmed, &full}) {
            archive::Dump dump;
            dump.path = dir.file(std::to_string(dumps.size()) + ".nds");
            fixture::writeFile(dump.path, *bytes);
            dump.result = *core::verifyStream(core::MemoryStream(*bytes), dats, false);
            dump.open = [&opened, path = dump.path] {
                ++opened;
                return core::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            };
            if (static_cast<int>(dumps.size()) < c.staged) {
                dump.staged = std::make_shared<archive::StagedBytes>();
                dump.staged->deflated = archive::StagedDeflate::create(folder.get());
                core::ReadSink* const sinks[] = {dump.staged->deflated.get()};
                core::readPass(core::MemoryStream(*bytes), sinks);
                const core::DatMatch& m = dump.result.matches.at(0);
                ASSERT_TRUE(dump.staged->deflated->complete(
                    m.padding ? m.paddedSize : bytes->size(), m.padding));
            }
            dumps.push_back(std::move(dump));
        }
        ASSERT_EQ(dumps[0].result.verdict, core::Verdict::VerifiedTrimmed);
        const archive::Plan plan = archive::planOrganise(dumps, dats, options.format);
        ASSERT_EQ(plan.targets.size(), 1u);
        const archive::TargetOutcome outcome =
            archive::carryOut(plan.targets[0], dumps, dats, options);
        EXPECT_EQ(opened, c.staged == 2 ? 0 : 2);
        const auto style = c.format == Format::TorrentZip ? archive::ZipStyle::TorrentZip
                                                          : archive::ZipStyle::Plain;
        EXPECT_EQ(fixture::readFile(archive::targetPath(options, plan.targets[0])),
                  zipOf({member("b.nds", trimmedPadded), member("A.nds", full)}, style));
        EXPECT_EQ(outcome.removed.size(), c.mode == Mode::Move ? 2u : 0u);
        EXPECT_EQ(entriesIn(options.to), 1u); // the folder of the DAT, nothing staged beside it
    }
}

// The scan hands every dump's bytes, in its one read, to the sink asked for it: a file's, and
// each image member's of a zip or 7z archive, the sink asked for only after the dump before it
// was reported.
TEST(CollectionScan, EveryDumpsBytesReachTheSinkAskedForIt)
{
    struct Collecting final : core::ReadSink {
        Bytes bytes;
        void consume(std::span<const std::uint8_t> block, std::uint64_t) override
        {
            bytes.insert(bytes.end(), block.begin(), block.end());
        }
    };
    const Bytes a = mixed(70000, 3), b = mixed(1500000, 4);
    const std::vector<testzip::Entry> members = {testzip::Entry::file("a.nds", a),
                                                 testzip::Entry::file("notes.txt", Bytes(9, 'x')),
                                                 testzip::Entry::file("b.nds", b)};
    const struct Case {
        const char* label;
        std::string name;
        Bytes file;
        std::vector<Bytes> dumps;
        bool member;
    } cases[] = {
        {"a file", "a.nds", a, {a}, false},
        {"a zip", "set.zip", testzip::buildZip(members), {a, b}, true},
        {"a 7z", "set.7z", testzip::buildSevenZip(members, "lzma2"), {a, b}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fixture::TempDir dir;
        fixture::writeFile(dir.file(c.name), c.file);
        const auto items = archive::collectDumps({dir.file(c.name)});
        ASSERT_EQ(items.size(), 1u);
        std::vector<std::unique_ptr<Collecting>> sinks;
        std::vector<Bytes> reported;
        bool asMember = !c.member;
        archive::ScanHooks hooks;
        hooks.dumpSink = [&](int, bool member) -> core::ReadSink* {
            EXPECT_EQ(reported.size(), sinks.size()); // the one before was reported
            asMember = member;
            sinks.push_back(std::make_unique<Collecting>());
            return sinks.back().get();
        };
        archive::scanItem(items[0], core::DatSet(), hooks, [&](archive::ScannedDump dump) {
            EXPECT_TRUE(dump.result.has_value()) << dump.error;
            reported.push_back(sinks.empty() ? Bytes{} : sinks.back()->bytes);
        });
        EXPECT_EQ(asMember, c.member);
        EXPECT_EQ(reported, c.dumps);
    }
}

TEST(OrganiseNames, DatNamesBecomeOneSafeComponent)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Game (Europe).nds", "Game (Europe).nds"},
        {"a/b\\c", "a_b_c"},
        {"..", "_"},
        {".", "_"},
        {"", "_"},
        {"what? <yes>: \"no\" | *", "what_ _yes__ _no_ _ _"},
        {"trailing. . ", "trailing"},
        {"CON", "_CON"},
        {"lpt1.txt", "_lpt1.txt"},
        {"COM10", "COM10"},
        {"console.nds", "console.nds"},
        {std::string("nul\x01") + "x", "nul_x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(archive::componentName(c.in), c.out) << c.in;
    // Cut to the limit at a character boundary, the extension kept.
    EXPECT_EQ(archive::componentName(std::string(300, 'a') + ".nds", 20),
              std::string(16, 'a') + ".nds");
    EXPECT_EQ(archive::componentName("\xC3\xA9\xC3\xA9\xC3\xA9.nds", 9), "\xC3\xA9\xC3\xA9.nds");
    EXPECT_EQ(archive::componentName("abc def.nds", 8), "abc.nds");
}

TEST(OrganisePlan, DuplicatesAndNamesThatCleanToOne)
{
    core::DatSet dats;
    const auto entry = [](const std::string& game, const std::string& rom, char sha) {
        return "<game name=\"" + game + "\"><rom name=\"" + rom + "\" size=\"4\" sha1=\"" +
               std::string(40, sha) + "\"/></game>";
    };
    const std::string xml = "<datafile><header><name>Set</name></header>" +
                            entry("G1", "a:b.nds", '1') + entry("G2", "A?b.nds", '2') +
                            entry("G3", "c.nds", '3') + "</datafile>";
    dats.addXml("s.dat", std::span(xml.data(), xml.size()));
    const auto dump = [](std::uint32_t rom) {
        archive::Dump d;
        d.path = "p" + std::to_string(rom);
        d.result.verdict = core::Verdict::Verified;
        d.result.matches.push_back({rom, core::MatchedBy::Sha1, std::nullopt, 4});
        return d;
    };
    archive::Dump unverified = dump(2);
    unverified.result.verdict = core::Verdict::Mismatch;
    const std::vector<archive::Dump> dumps = {dump(0), dump(1), dump(0), unverified, dump(2)};
    const archive::Plan raw = archive::planOrganise(dumps, dats, archive::OrganiseFormat::Raw);
    ASSERT_EQ(raw.targets.size(), 3u);
    EXPECT_EQ(raw.targets[0].folder, "Set");
    EXPECT_EQ(raw.targets[0].file, "a_b.nds");
    EXPECT_EQ(raw.targets[1].file, "A_b (2).nds"); // letter case aside, the same name
    EXPECT_EQ(raw.targets[2].file, "c.nds");
    EXPECT_EQ(raw.targets[2].roms.at(0).dump, 4u);
    ASSERT_EQ(raw.duplicates.size(), 1u);
    EXPECT_EQ(raw.duplicates[0].dump, 2u);
    EXPECT_EQ(raw.duplicates[0].first, 0u);

    const archive::Plan zip = archive::planOrganise(dumps, dats, archive::OrganiseFormat::Zip);
    ASSERT_EQ(zip.targets.size(), 3u);
    EXPECT_EQ(zip.targets[1].file, "G2.zip");
    EXPECT_EQ(zip.targets[1].roms.at(0).name, "A_b.nds"); // alone in its zip
}

} // namespace
} // namespace cartscope
