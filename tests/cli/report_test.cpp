#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/archive/zip_builder.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using testcli::cli;

Bytes image(std::uint8_t seed)
{
    Bytes b = ImageBuilder().gameCode("ABCE").deviceCapacity(1).minSize(0x9000).build();
    for (std::size_t i = 0x8000; i < 0x9000; ++i)
        b[i] = static_cast<std::uint8_t>(i * seed + seed);
    return b;
}

std::string text(const std::string& path)
{
    const Bytes b = fixture::readFile(path);
    return {b.begin(), b.end()};
}

// A clrmamepro DAT of four games: one dumped full and copied, one trimmed, one in a zip, one
// missing; beside them a dump no DAT knows and an archive that cannot be read.
struct Collection {
    fixture::TempDir dir;
    Bytes full = testdat::padded(image(1), 256 * 1024, 0xFF);
    Bytes trimmed = image(2);
    Bytes zipped = testdat::padded(image(4), 256 * 1024, 0xFF);
    Bytes missing = testdat::padded(image(5), 256 * 1024, 0xFF);
    std::string dat = dir.file("ds.dat");
    std::string roms = dir.file("roms");

    static std::string game(const std::string& name, const Bytes& data)
    {
        return "game (\n\tname \"" + name + "\"\n\tdescription \"" + name + "\"\n\trom ( name \"" +
               name + ".nds\" size " + std::to_string(data.size()) + " crc " +
               testdat::refCrc(data) + " md5 " + testdat::refDigest("MD5", data) + " sha1 " +
               testdat::refDigest("SHA1", data) + " )\n)\n\n";
    }

    Collection()
    {
        const std::string body =
            "clrmamepro (\n\tname \"Nintendo - DS (Decrypted)\"\n\tversion 20260101\n\t"
            "homepage No-Intro\n)\n\n" +
            game("Full Game (Europe)", full) +
            game("Trimmed Game (USA)", testdat::padded(trimmed, 256 * 1024, 0x00)) +
            game("Zipped Game (Japan)", zipped) + game("Missing Game (Korea)", missing);
        fixture::writeFile(dat, Bytes(body.begin(), body.end()));
        ::mkdir(roms.c_str(), 0700);
        fixture::writeFile(roms + "/a.nds", full);
        fixture::writeFile(roms + "/b.nds", trimmed);
        fixture::writeFile(roms + "/c.nds", full);
        fixture::writeFile(roms + "/d.nds", image(3));
        testzip::writeZip(roms + "/e.zip", {testzip::Entry::file("z.nds", zipped)});
        fixture::writeFile(roms + "/f.zip", Bytes{'P', 'K', 3, 4, 'x'});
    }
};

TEST(CliReport, CountsHeldMissingAndTwiceAndNamesTheFilesThatFailed)
{
    const Collection c;
    const auto r = cli({"report", "--dat", c.dat, "--jobs", "2", c.roms});
    EXPECT_EQ(r.status, 1) << r.out << r.err; // f.zip could not be read
    EXPECT_EQ(r.out, "Nintendo - DS (Decrypted) (20260101): 4 games\n"
                     "  Held: 3\n"
                     "  Missing: 1\n"
                     "  Held twice: 1\n"
                     "  Missing games:\n"
                     "    Missing Game (Korea)\n"
                     "  Games held twice:\n"
                     "    Full Game (Europe)\n"
                     "      " +
                         c.roms + "/a.nds\n      " + c.roms +
                         "/c.nds\n"
                         "6 dumps read: 4 verified, 1 not verified, 1 error\n");
    EXPECT_NE(r.err.find("Error: " + c.roms + "/f.zip"), std::string::npos) << r.err;

    // Without the bad archive, the report is all there is to say.
    const auto good =
        cli({"report", "--dat", c.dat, "--json", c.roms + "/a.nds", c.roms + "/e.zip"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(good.out.rfind("{\"dats\": [\n  {\"name\": \"Nintendo - DS (Decrypted)\", "
                             "\"version\": \"20260101\", \"file\": \"" +
                                 c.dat + "\", \"games\": 4, \"held\": 2, \"missing\": 2, ",
                             0),
              0u)
        << good.out;
    EXPECT_NE(good.err.find("2 dumps read: 2 verified"), std::string::npos) << good.err;
}

TEST(CliReport, WritesTheMissingListAndAFixdatThatFindsTheMissingDump)
{
    const Collection c;
    const std::string csv = c.dir.file("missing.csv"), fix = c.dir.file("fix");
    const auto r = cli({"report", "--dat", c.dat, "--missing-csv", csv, "--fixdat", fix,
                        c.roms + "/a.nds", c.roms + "/b.nds"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(text(csv), "dat,game,rom,size,crc32,md5,sha1\n"
                         "Nintendo - DS (Decrypted),Zipped Game (Japan),Zipped Game (Japan).nds,"
                         "262144," +
                             testdat::refCrc(c.zipped) + "," + testdat::refDigest("MD5", c.zipped) +
                             "," + testdat::refDigest("SHA1", c.zipped) +
                             "\n"
                             "Nintendo - DS (Decrypted),Missing Game (Korea),Missing Game "
                             "(Korea).nds,262144," +
                             testdat::refCrc(c.missing) + "," +
                             testdat::refDigest("MD5", c.missing) + "," +
                             testdat::refDigest("SHA1", c.missing) + "\n");
    const std::string fixdat = fix + "/Nintendo - DS (Decrypted) (fixdat).dat";
    EXPECT_NE(r.out.find("Wrote " + fixdat + "\n"), std::string::npos) << r.out;
    EXPECT_NE(text(fixdat).find("<homepage>No-Intro</homepage>"), std::string::npos);

    // The fixdat is a DAT like any other: the missing dump verifies against it, a held one
    // does not.
    fixture::writeFile(c.dir.file("found.nds"), c.missing);
    const auto v = cli({"verify", "--dat", fixdat, c.dir.file("found.nds"), c.roms + "/a.nds"});
    EXPECT_NE(v.out.find("Verified            Missing Game (Korea)"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("1 verified, 0 trimmed, 0 mismatched, 1 unknown"), std::string::npos)
        << v.out;
}

TEST(CliReport, UsageAndDatErrors)
{
    const Collection c;
    EXPECT_EQ(cli({"report", "--dat", c.dat}).status, 2);
    EXPECT_EQ(cli({"report", "--dat", c.dat, "--fixdat", "", c.roms}).status, 2);
    EXPECT_EQ(cli({"report", "--dat", c.dat, "--csv", c.roms}).status, 2);
    const std::string bad = c.dir.file("bad.dat");
    const std::string open = "game ( name x";
    fixture::writeFile(bad, Bytes(open.begin(), open.end()));
    const auto r = cli({"report", "--dat", bad, c.roms});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("DAT \"" + bad + "\" line 1: a block is not closed"), std::string::npos)
        << r.err;
}

} // namespace
} // namespace cartscope
