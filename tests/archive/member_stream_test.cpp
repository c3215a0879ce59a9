#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/dat_load.h"
#include "archive/member_stream.h"
#include "core/error.h"
#include "core/read_pass.h"
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
    streamMembers(zip, isVerifiableImageName, events);
    return s;
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

    // Regular files only, links not followed, sorted.
    EXPECT_EQ(datFilesIn(dir.path()),
              (std::vector<std::string>{dir.file("a.dat"), dir.file("b.zip"), dir.file("c.zip")}));
    EXPECT_TRUE(datFilesIn(dir.file("nowhere")).empty());
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
