#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive/collection_report.h"
#include "core/base/error.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::archive {
namespace {

// A DAT of games, each a list of roms; rom k of the whole DAT gets SHA-1 "k" repeated.
std::string datText(const std::string& name, const std::string& version,
                    const std::vector<std::pair<std::string, int>>& games, char digit = '1')
{
    std::string xml = "<datafile><header><name>" + name + "</name><version>" + version +
                      "</version><author>Someone</author><homepage>Site</homepage>"
                      "<clrmamepro forcenodump=\"required\"/></header>";
    for (const auto& [game, roms] : games) {
        xml += "<game name=\"" + game + "\"><description>" + game + "</description>";
        for (int r = 0; r < roms; ++r)
            xml += "<rom name=\"" + game + " " + std::to_string(r) + ".nds\" size=\"" +
                   std::to_string(100 + r) + "\" crc=\"0000abcd\" sha1=\"" +
                   std::string(40, digit++) + "\" serial=\"NTR-A&amp;BE\"/>";
        xml += "</game>";
    }
    return xml + "</datafile>";
}

void add(core::DatSet& dats, const std::string& xml, const std::string& file = "a.dat")
{
    dats.addXml(file, std::span(xml.data(), xml.size()));
}

ReportedDump dump(const std::string& path, std::vector<std::uint32_t> roms,
                  core::Verdict verdict = core::Verdict::Verified,
                  std::optional<std::string> member = std::nullopt)
{
    ReportedDump d;
    d.path = path;
    d.member = std::move(member);
    d.result.verdict = verdict;
    for (const std::uint32_t rom : roms)
        d.result.matches.push_back({rom, core::MatchedBy::Sha1, std::nullopt, 0});
    return d;
}

std::string read(const std::string& path)
{
    const fixture::Bytes b = fixture::readFile(path);
    return {b.begin(), b.end()};
}

// Two DATs: A = {One: roms 0, Two: roms 1 2, Three: rom 3}, B = {One: rom 4}.
core::DatSet twoDats()
{
    core::DatSet dats;
    add(dats, datText("Set A", "2026", {{"One", 1}, {"Two", 2}, {"Three", 1}}));
    add(dats, datText("Set B", "", {{"One", 1}}, '5'), "b.dat");
    return dats;
}

TEST(CollectionReport, HeldMissingAndTwice)
{
    const core::DatSet dats = twoDats();
    const struct {
        const char* what;
        std::vector<ReportedDump> dumps;
        std::vector<std::string> heldA, missingA, twiceA, heldB;
    } cases[] = {
        {"nothing held", {}, {}, {"One", "Two", "Three"}, {}, {}},
        {"a game needs every rom", {dump("t1", {1})}, {}, {"One", "Two", "Three"}, {}, {}},
        {"both roms, one trimmed",
         {dump("t1", {1}), dump("t2", {2}, core::Verdict::VerifiedTrimmed)},
         {"Two"},
         {"One", "Three"},
         {},
         {}},
        {"a mismatch or an unknown dump holds nothing",
         {dump("o", {0}, core::Verdict::Mismatch), dump("x", {3}, core::Verdict::NotInDat)},
         {},
         {"One", "Two", "Three"},
         {},
         {}},
        {"one dump matching two DATs holds the game in each",
         {dump("o", {0, 4})},
         {"One"},
         {"Two", "Three"},
         {},
         {"One"}},
        {"two dumps of one rom",
         {dump("o1", {0}), dump("o2", {0})},
         {"One"},
         {"Two", "Three"},
         {"One"},
         {}},
        {"a rom held twice in a game not held whole",
         {dump("t1", {1}), dump("t1b", {1})},
         {},
         {"One", "Two", "Three"},
         {"Two"},
         {}},
        {"a match listed twice for one dump counts once",
         {dump("o", {0, 0})},
         {"One"},
         {"Two", "Three"},
         {},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CollectionReport r = makeReport(dats, c.dumps);
        ASSERT_EQ(r.dats.size(), 2u);
        EXPECT_EQ(r.dats[0].dat, 0u);
        EXPECT_EQ(r.dats[0].games, 3u);
        EXPECT_EQ(r.dats[1].games, 1u);
        EXPECT_EQ(r.dats[0].held, c.heldA);
        EXPECT_EQ(r.dats[0].missing, c.missingA);
        std::vector<std::string> twice;
        for (const HeldTwice& t : r.dats[0].twice)
            twice.push_back(t.game);
        EXPECT_EQ(twice, c.twiceA);
        EXPECT_EQ(r.dats[1].held, c.heldB);
    }
}

TEST(CollectionReport, TextAndJson)
{
    core::DatSet dats;
    add(dats, datText("Set\x1b[31m", "1", {{"One", 1}, {"Two", 1}, {"Bad \xff", 1}}));
    const std::vector<ReportedDump> dumps = {
        dump("/c/one.nds", {0}), dump("/c/g.zip", {0}, core::Verdict::Verified, "one.nds")};
    const CollectionReport r = makeReport(dats, dumps);
    ASSERT_EQ(r.dats[0].twice.size(), 1u);
    EXPECT_EQ(r.dats[0].twice[0].places,
              (std::vector<std::string>{"/c/one.nds", "/c/g.zip/one.nds"}));
    EXPECT_EQ(reportText(r, dats), "Set\\x1B[31m (1): 3 games\n"
                                   "  Held: 1\n"
                                   "  Missing: 2\n"
                                   "  Held twice: 1\n"
                                   "  Missing games:\n"
                                   "    Two\n"
                                   "    Bad \\xFF\n"
                                   "  Games held twice:\n"
                                   "    One\n"
                                   "      /c/one.nds\n"
                                   "      /c/g.zip/one.nds\n");
    EXPECT_EQ(reportJson(r, dats),
              "{\"dats\": [\n"
              "  {\"name\": \"Set\\u001b[31m\", \"version\": \"1\", \"file\": \"a.dat\", "
              "\"games\": 3, \"held\": 1, \"missing\": 2, \"heldTwice\": 1,\n"
              "   \"heldGames\": [{\"name\": \"One\"}],\n"
              "   \"missingGames\": [{\"name\": \"Two\"}, {\"name\": \"Bad \\ufffd\", "
              "\"nameBytes\": \"42616420FF\"}],\n"
              "   \"heldTwiceGames\": [{\"name\": \"One\", \"places\": [{\"place\": "
              "\"/c/one.nds\"}, {\"place\": \"/c/g.zip/one.nds\"}]}]}\n"
              "]}\n");
    EXPECT_EQ(reportJson(makeReport(core::DatSet{}, {}), core::DatSet{}), "{\"dats\": []}\n");
}

TEST(CollectionReport, MissingCsvListsEveryRomOfEveryMissingGame)
{
    core::DatSet dats = twoDats();
    add(dats, datText("=cmd", "", {{"a,&quot;b&quot;", 1}}, '7'), "c.dat");
    const fixture::TempDir dir;
    const std::vector<ReportedDump> dumps = {dump("o", {0, 4})};
    writeMissingCsv(makeReport(dats, dumps), dats, dir.file("missing.csv"));
    const std::string sha2(40, '2'), sha3(40, '3'), sha4(40, '4'), sha7(40, '7');
    EXPECT_EQ(read(dir.file("missing.csv")),
              "dat,game,rom,size,crc32,md5,sha1\n"
              "Set A,Two,Two 0.nds,100,0000abcd,," +
                  sha2 + "\nSet A,Two,Two 1.nds,101,0000abcd,," + sha3 +
                  "\nSet A,Three,Three 0.nds,100,0000abcd,," + sha4 +
                  "\n'=cmd,\"a,\"\"b\"\"\",\"a,\"\"b\"\" 0.nds\",100,0000abcd,," + sha7 + "\n");
    EXPECT_THROW(writeMissingCsv(makeReport(dats, dumps), dats, dir.file("no/such/x.csv")),
                 core::Error);
}

TEST(CollectionReport, FixdatsReloadWithTheMissingEntriesAndTheSourceHeader)
{
    core::DatSet dats;
    add(dats, datText("Nin/tendo: DS?", "20260101", {{"One", 1}, {"Two & Co", 2}}));
    add(dats, datText("Nin/tendo: DS?", "20250101", {{"One", 1}}, '4'), "old.dat");
    add(dats, datText("Complete", "1", {{"Only", 1}}, '5'), "c.dat");
    const fixture::TempDir dir;
    // A link where a fixdat goes is replaced, never followed.
    const std::string outside = dir.file("outside");
    fixture::writeFile(outside, {'k'});
    ASSERT_EQ(::symlink(outside.c_str(), dir.file("Nin_tendo_ DS_ (fixdat).dat").c_str()), 0);

    const std::vector<ReportedDump> dumps = {dump("o", {0}), dump("c", {4})};
    const std::vector<std::string> written =
        writeFixdats(makeReport(dats, dumps), dats, dir.path() + "/fix");
    EXPECT_EQ(written,
              (std::vector<std::string>{dir.path() + "/fix/Nin_tendo_ DS_ (fixdat).dat",
                                        dir.path() + "/fix/Nin_tendo_ DS_ (fixdat) (2).dat"}));
    EXPECT_EQ(read(outside), "k");

    const std::string fixdat = read(written[0]);
    EXPECT_NE(fixdat.find("<author>Someone</author>"), std::string::npos) << fixdat;
    EXPECT_NE(fixdat.find("<comment>Fixdat made by Cartscope from &quot;Nin/tendo: DS?&quot; "
                          "version 20260101: 1 of 2 games missing</comment>"),
              std::string::npos)
        << fixdat;
    core::DatSet reloaded;
    add(reloaded, fixdat, "fixdat.dat");
    EXPECT_EQ(reloaded.dats()[0].name, "Nin/tendo: DS? (fixdat)");
    EXPECT_EQ(reloaded.dats()[0].version, "20260101");
    ASSERT_EQ(reloaded.roms().size(), 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        const core::DatRom want = dats.roms()[i + 1], got = reloaded.roms()[i];
        EXPECT_EQ(got.game, "Two & Co");
        EXPECT_EQ(got.rom, want.rom);
        EXPECT_EQ(got.size, want.size);
        EXPECT_EQ(got.crc32, want.crc32);
        EXPECT_TRUE(std::ranges::equal(got.sha1, want.sha1));
        EXPECT_TRUE(got.md5.empty());
        EXPECT_EQ(got.serial, "NTR-A&BE");
    }
    EXPECT_NE(read(written[1]).find("<game name=\"One\">"), std::string::npos);

    // A folder that cannot be made is the user's message.
    EXPECT_THROW(writeFixdats(makeReport(dats, dumps), dats, outside + "/sub"), core::Error);
}

TEST(CollectionReport, FixdatsKeepTheParentCloneFieldsAndReleases)
{
    core::DatSet dats;
    add(dats, "<datafile><header><name>P</name></header>"
              "<game name=\"Parent\" id=\"0001\">"
              "<release name=\"Parent\" region=\"EUR\" language=\"En,Fr\"/>"
              "<release name=\"Parent\" region=\"USA\"/>"
              "<rom name=\"p.nds\" size=\"1\" crc=\"00000001\"/></game>"
              "<game name=\"Clone\" id=\"0002\" cloneof=\"Parent\" cloneofid=\"0001\">"
              "<rom name=\"c.nds\" size=\"2\" crc=\"00000002\"/></game></datafile>");
    const fixture::TempDir dir;
    const std::vector<std::string> written = writeFixdats(makeReport(dats, {}), dats, dir.path());
    ASSERT_EQ(written.size(), 1u);
    core::DatSet reloaded;
    add(reloaded, read(written[0]), "fixdat.dat");
    ASSERT_EQ(reloaded.roms().size(), 2u);
    for (std::uint32_t i = 0; i < 2; ++i) {
        const core::DatRom want = dats.roms()[i], got = reloaded.roms()[i];
        EXPECT_EQ(got.game, want.game);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.cloneOf, want.cloneOf);
        EXPECT_EQ(got.cloneOfId, want.cloneOfId);
        EXPECT_EQ(got.releases, want.releases);
    }
    EXPECT_EQ(reloaded.roms()[0].releases, "EUR/En,Fr\nUSA/\n");
    EXPECT_EQ(reloaded.roms()[1].cloneOfId, "0001");
}

} // namespace
} // namespace cartscope::archive
