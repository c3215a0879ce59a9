#include <cstdio>
#include <cstdlib>
#include <new>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive_source.h"
#include "archive/dat_load.h"
#include "archive/member_stream.h"
#include "archive/reader.h"
#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/io/read_pass.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope::archive {
namespace {

using fixture::Bytes;
using testzip::Entry;

// Collects every member's bytes and outcome.
struct Streamed {
    std::vector<std::string> names;
    std::vector<Bytes> data;
    std::vector<std::string> errors;
};

class Collect final : public core::ReadSink {
public:
    explicit Collect(Bytes& out) : m_out(out) {}
    void consume(std::span<const std::uint8_t> b, std::uint64_t position) override
    {
        EXPECT_EQ(position, m_out.size());
        m_out.insert(m_out.end(), b.begin(), b.end());
    }

private:
    Bytes& m_out;
};

Streamed stream(const std::string& zip)
{
    Streamed s;
    std::unique_ptr<Collect> sink;
    core::ReadSink* sinks[1] = {nullptr};
    MemberEvents events;
    events.onBegin = [&](const StreamedMember& m) {
        s.names.push_back(m.name);
        s.data.emplace_back();
        sink = std::make_unique<Collect>(s.data.back());
        sinks[0] = sink.get();
        return std::span<core::ReadSink* const>(sinks);
    };
    events.onEnd = [&](const StreamedMember&, const std::string& error) {
        s.errors.push_back(error);
    };
    streamMembers(
        zip,
        [](const std::string& name) { return core::imageNameOf(name) != core::ImageName::None; },
        events);
    return s;
}

// The message streamMembers throws for `zip`, empty when it throws none.
std::string streamError(const std::string& zip)
{
    try {
        stream(zip);
    } catch (const core::Error& e) {
        return e.what();
    }
    return {};
}

TEST(MemberStream, ZipBombsAreRefusedAndHonestRatiosAreNot)
{
    const fixture::TempDir dir;
    const std::string zip = dir.file("a.zip");
    // Two central records for one local header: the overlapping-members bomb in small.
    Bytes overlap = testzip::buildZip(
        {Entry::file("a.nds", testzip::noise(5000)), Entry::file("b.nds", testzip::noise(5000, 2))},
        {false, false, {}});
    const auto raw = testzip::rawEntries(overlap);
    testzip::detail::put32(overlap, raw[1].central + 42, static_cast<std::uint32_t>(raw[0].local));
    fixture::writeFile(zip, overlap);
    const std::string overlapping = "\"" + zip + "\": overlapping members (a zip bomb)";
    EXPECT_EQ(streamError(zip), overlapping);
    EXPECT_THROW(listImageMembers(zip), core::Error);
    // Data that reaches into the next member's header overlaps it too.
    overlap = testzip::buildZip(
        {Entry::file("a.nds", testzip::noise(5000)), Entry::file("b.nds", testzip::noise(5000, 2))},
        {false, false, {}});
    testzip::detail::put32(overlap, raw[0].central + 20,
                           static_cast<std::uint32_t>(raw[1].local - raw[0].local));
    fixture::writeFile(zip, overlap);
    EXPECT_EQ(streamError(zip), overlapping);

    // Declaring far more than deflate can make of the archive's bytes.
    Bytes lying = testzip::buildZip({Entry::file("a.nds", Bytes(100000, 0))});
    testzip::patchDeclaredSize(lying, 0, 0x50000000);
    fixture::writeFile(zip, lying);
    EXPECT_EQ(streamError(zip),
              "\"" + zip +
                  "\": members declaring more than 1032 times the archive's size (a zip bomb)");

    // The most compressible honest member (zeros, deflated) stays within the multiple.
    testzip::writeZip(zip, {Entry::file("a.nds", Bytes(8 << 20, 0))});
    const Streamed s = stream(zip);
    ASSERT_EQ(s.errors, std::vector<std::string>{""});
    EXPECT_EQ(s.data[0].size(), std::size_t{8} << 20);
}

TEST(MemberStream, ReadErrorsNamesAndLimitsSayWhatHappenedAndKeepTheCountWhole)
{
    const fixture::TempDir dir;
    const std::string zip = dir.file("a.zip");
    const Bytes z = testzip::buildZip({Entry::file("a.nds", testzip::noise(3 << 20)),
                                       Entry::file("b.nds", testzip::noise(3 << 20, 2)),
                                       Entry::file("c.nds", testzip::noise(10, 3))},
                                      {false, false, {}});
    fixture::writeFile(zip, z);
    // A bad sector in the middle of the second member's data.
    const std::uint64_t bad = testzip::rawEntries(z).at(1).data + (3 << 19);
    detail::g_failArchiveReadsFrom = bad;
    detail::g_failArchiveReadsTo = bad + 1;
    const Streamed s = stream(zip);
    detail::g_failArchiveReadsFrom = 0;
    detail::g_failArchiveReadsTo = 0;
    const std::string eio = "Cannot read file \"" + zip + "\". Input/output error";
    EXPECT_EQ(s.names, (std::vector<std::string>{"a.nds", "b.nds", "c.nds"}));
    EXPECT_EQ(s.errors, (std::vector<std::string>{"", eio, eio}));
    // Listing the images of an archive that cannot be read is an error, not an empty list.
    detail::g_failArchiveReadsTo = z.size();
    EXPECT_THROW(listImageMembers(zip), core::Error);
    detail::g_failArchiveReadsTo = 0;

    // A damaged local header ends libarchive's walk: every member it did not reach is reported.
    Bytes header = z;
    header.at(testzip::rawEntries(z).at(1).local) = 0;
    fixture::writeFile(zip, header);
    const Streamed h = stream(zip);
    EXPECT_EQ(h.names, (std::vector<std::string>{"a.nds", "b.nds", "c.nds"}));
    ASSERT_EQ(h.errors.size(), 3u);
    EXPECT_EQ(h.errors[0], "");
    EXPECT_EQ(h.errors[1].rfind("Damaged archive: ", 0), 0u) << h.errors[1];
    EXPECT_EQ(h.errors[2], h.errors[1]);

    // A name that is not UTF-8 under the UTF-8 flag is reported, not skipped.
    Bytes named = testzip::buildZip(
        {Entry::file("a.nds", "a"), Entry::file("bAd.nds", "b"), Entry::file("c.nds", "c")});
    testzip::patchNameToBadUtf8(named, 1, 1, 0xFF);
    fixture::writeFile(zip, named);
    const Streamed n = stream(zip);
    EXPECT_EQ(n.names, (std::vector<std::string>{"a.nds",
                                                 "b\xFF"
                                                 "d.nds",
                                                 "c.nds"}));
    EXPECT_EQ(n.errors, (std::vector<std::string>{"", "The member's name is not valid UTF-8", ""}));

    // A member just past the limit says the limit as it is.
    Bytes big = testzip::buildZip({Entry::file("a.nds", testzip::noise(1100000))});
    testzip::patchDeclaredSize(big, 0, 0x40100000);
    fixture::writeFile(zip, big);
    EXPECT_EQ(stream(zip).errors,
              std::vector<std::string>{"The member declares 1074790400 bytes, more than the 1 GiB "
                                       "(1073741824 bytes) a DS or DSi image can be"});
}

TEST(MemberStream, EveryImageMemberStreamedStoredAndDeflated)
{
    const fixture::TempDir dir;
    const Bytes a = testzip::noise(3 << 20, 1), b = testzip::noise(5000, 2);
    for (const bool deflate : {false, true}) {
        const std::string zip = dir.file(deflate ? "d.zip" : "s.zip");
        testzip::writeZip(zip,
                          {Entry::file("readme.txt", "x"), Entry::file("roms/A.NDS", a),
                           Entry::file("b.dsi", b), Entry::file("c.srl", "c"),
                           Entry::file("d.ids", "d"), Entry::dir("e.nds/"),
                           Entry::symlink("f.nds", "a.nds")},
                          {deflate, false, {}});
        const Streamed s = stream(zip);
        EXPECT_EQ(s.names, (std::vector<std::string>{"roms/A.NDS", "b.dsi", "c.srl", "d.ids"}));
        ASSERT_EQ(s.data.size(), 4u);
        EXPECT_EQ(s.data[0], a);
        EXPECT_EQ(s.data[1], b);
        EXPECT_EQ(s.errors, std::vector<std::string>(4));
    }
}

TEST(MemberStream, ACrcThatDiffersFromTheStoredOneIsADamagedArchive)
{
    const fixture::TempDir dir;
    const std::string zip = dir.file("bad.zip");
    for (const bool deflate : {false, true}) {
        Bytes z = testzip::buildZip(
            {Entry::file("game.nds", testzip::noise(200000, 3)), Entry::file("good.nds", "fine")},
            {deflate, false, {}});
        const auto raw = testzip::rawEntries(z);
        if (deflate) {
            // A stored CRC that the data does not have, in both headers.
            z[raw[0].central + 16] ^= 1;
            z[raw[0].local + 14] ^= 1;
        } else {
            z[raw[0].data + 100000] ^= 1;
        }
        fixture::writeFile(zip, z);
        const Streamed s = stream(zip);
        ASSERT_EQ(s.errors.size(), 2u) << deflate;
        EXPECT_EQ(s.errors[0].rfind("Damaged archive: ", 0), 0u) << s.errors[0];
        EXPECT_EQ(s.errors[1], "") << "the walk goes on after a damaged member";
    }
    fixture::writeFile(zip, Bytes(100, 'x'));
    EXPECT_THROW(stream(zip), core::Error);
    EXPECT_THROW(stream(dir.file("missing.zip")), core::Error);
}

TEST(DatLoad, PlainAndZippedDatsAndTheFolder)
{
    const fixture::TempDir dir;
    const std::string xml = testdat::datXml("DS", "1", {testdat::rom("G", Bytes(10, 1))});
    fixture::writeFile(dir.file("a.dat"), Bytes(xml.begin(), xml.end()));
    testzip::writeZip(
        dir.file("b.zip"),
        {Entry::file("readme.txt", "x"), Entry::file("one.dat", xml), Entry::file("two.XML", xml)});
    testzip::writeZip(dir.file("c.zip"), {Entry::file("readme.txt", "x")});
    fixture::writeFile(dir.file("d.txt"), Bytes(xml.begin(), xml.end()));
    ASSERT_EQ(::symlink("a.dat", dir.file("e.dat").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("f.dat").c_str(), 0700), 0);

    core::DatSet dats;
    loadDat(dir.file("a.dat"), dats);
    loadDat(dir.file("b.zip"), dats);
    ASSERT_EQ(dats.dats().size(), 3u);
    EXPECT_EQ(dats.dats()[1].file, dir.file("b.zip") + ":one.dat");
    EXPECT_THROW(loadDat(dir.file("c.zip"), dats), core::Error);
    EXPECT_THROW(loadDat(dir.file("missing.dat"), dats), core::Error);
    EXPECT_EQ(dats.dats().size(), 3u);

    // Regular files, links followed, sorted; everything else listed with its reason.
    ASSERT_EQ(::symlink("missing.dat", dir.file("g.dat").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("h.xml").c_str(), 0600), 0);
    std::vector<std::string> skipped;
    EXPECT_EQ(datFilesIn(dir.path(), &skipped),
              (std::vector<std::string>{dir.file("a.dat"), dir.file("b.zip"), dir.file("c.zip"),
                                        dir.file("e.dat")}));
    EXPECT_EQ(
        skipped,
        (std::vector<std::string>{
            "\"" + dir.file("d.txt") + "\" is not a DAT (.dat, .xml or .zip)",
            "Cannot open file \"" + dir.file("f.dat") + "\". Is a directory",
            "Cannot open file \"" + dir.file("g.dat") + "\". No such file or directory",
            "Cannot open file \"" + dir.file("h.xml") + "\". Not a regular file (a named pipe)"}));
    EXPECT_TRUE(datFilesIn(dir.file("nowhere")).empty());
}

TEST(DatLoad, ADatOfMillionsOfEmptyEntriesIsRefusedWithinBoundedMemory)
{
    // 4 million empty <rom/> entries: 24 MB of XML in a zip of a few dozen kilobytes. Loaded in
    // a child whose address space may grow by only 512 MiB past its size when forked.
    const fixture::TempDir dir;
    std::string xml = "<datafile><game name=\"g\">";
    for (int i = 0; i < 4'000'000; ++i)
        xml += "<rom/>";
    xml += "</game></datafile>";
    const std::string zip = dir.file("bomb.zip");
    testzip::writeZip(zip, {Entry::file("bomb.dat", xml)});
    xml.clear();
    xml.shrink_to_fit();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        const auto size = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{size + (rlim_t{512} << 20), size + (rlim_t{512} << 20)};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0)
            std::_Exit(3);
        try {
            core::DatSet dats;
            loadDat(zip, dats);
            std::_Exit(1); // loaded
        } catch (const core::Error& e) {
            const std::string expected = "DAT \"" + zip +
                                         ":bomb.dat\" would take more than 4 "
                                         "times its size in memory to read";
            std::_Exit(std::string(e.what()).rfind(expected, 0) == 0 ? 0 : 4);
        } catch (const std::bad_alloc&) {
            std::_Exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 loaded, 2 out of memory, 3 no limit, 4 other error";
}

TEST(DatLoad, ABadDatInsideAZipNamesTheMemberAndLine)
{
    const fixture::TempDir dir;
    testzip::writeZip(dir.file("bad.zip"), {Entry::file("x.dat", "<datafile>\n<game>")});
    core::DatSet dats;
    try {
        loadDat(dir.file("bad.zip"), dats);
        FAIL() << "no error";
    } catch (const core::Error& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("DAT \"" + dir.file("bad.zip") + ":x.dat\" line 2:", 0), 0u)
            << e.what();
    }
}

TEST(DatLoad, TheFolderFollowsXdgDataHome)
{
    const char* oldData = std::getenv("XDG_DATA_HOME");
    const std::string saved = oldData ? oldData : "";
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(datFolder(), "/data/cartscope/dats");
    ::setenv("XDG_DATA_HOME", "relative", 1); // ignored, as the base directory rules say
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') {
        EXPECT_EQ(datFolder(), std::string(home) + "/.local/share/cartscope/dats");
    }
    if (oldData)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace cartscope::archive

namespace cartscope::archive {
namespace {

TEST(DatLoad, AddingADatChecksItFirstAndReplacesAnOlderCopy)
{
    const fixture::TempDir dir;
    const std::string folder = dir.file("data/cartscope/dats");
    const std::string v1 = testdat::datXml("DS", "1", {testdat::rom("G", Bytes(10, 1))});
    const std::string v2 = testdat::datXml("DS", "2", {testdat::rom("G", Bytes(10, 1))});
    fixture::writeFile(dir.file("ds.dat"), Bytes(v1.begin(), v1.end()));
    EXPECT_EQ(addDatToFolder(dir.file("ds.dat"), folder), folder + "/ds.dat");
    fixture::writeFile(dir.file("ds.dat"), Bytes(v2.begin(), v2.end()));
    addDatToFolder(dir.file("ds.dat"), folder);
    const DatFolderLoad loaded = loadDatFolder(folder);
    ASSERT_EQ(loaded.dats.dats().size(), 1u);
    EXPECT_EQ(loaded.dats.dats()[0].version, "2");
    EXPECT_TRUE(loaded.skipped.empty());

    // A broken DAT is refused and nothing is written.
    fixture::writeFile(dir.file("bad.dat"), Bytes{'<', 'd'});
    EXPECT_THROW(addDatToFolder(dir.file("bad.dat"), folder), core::Error);
    EXPECT_EQ(datFilesIn(folder), std::vector<std::string>{folder + "/ds.dat"});
    // A bad DAT already in the folder is skipped with its reason; the rest loads.
    fixture::writeFile(folder + "/bad.dat", Bytes{'<', 'd'});
    const DatFolderLoad again = loadDatFolder(folder);
    EXPECT_EQ(again.dats.dats().size(), 1u);
    ASSERT_EQ(again.skipped.size(), 1u);
    EXPECT_EQ(again.skipped[0].rfind("DAT \"" + folder + "/bad.dat\" line 1: ", 0), 0u);
}

TEST(DatLoad, ACancelledFolderLoadStopsInsideALargeDat)
{
    const fixture::TempDir dir;
    std::vector<testdat::Rom> roms;
    for (int i = 0; i < 10000; ++i)
        roms.push_back(testdat::rom("G" + std::to_string(i), Bytes(4, static_cast<uint8_t>(i))));
    const std::string xml = testdat::datXml("DS", "1", roms);
    for (const char* name : {"a.dat", "b.dat"})
        fixture::writeFile(dir.file(name), Bytes(xml.begin(), xml.end()));

    const DatFolderLoad whole = loadDatFolder(dir.path(), [] { return false; });
    EXPECT_FALSE(whole.cancelled);
    EXPECT_EQ(whole.dats.roms().size(), 20000u);

    // Asked a few times while the first DAT's entries are walked, then told to stop: the
    // parse ends there, nothing of that DAT is added and the second is never read.
    int asks = 0;
    const DatFolderLoad cut = loadDatFolder(dir.path(), [&asks] { return ++asks > 2; });
    EXPECT_TRUE(cut.cancelled);
    EXPECT_TRUE(cut.dats.empty());
    EXPECT_EQ(asks, 4); // twice inside the first DAT, once to stop, once after it
}

} // namespace
} // namespace cartscope::archive
