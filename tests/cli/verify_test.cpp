#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/archive/zip_builder.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/dat_fixture.h"

namespace cartscope {
namespace {

using fixture::Bytes;
using fixture::ImageBuilder;
using testcli::cli;

// Points XDG_DATA_HOME at a private folder for the test.
class PrivateData {
public:
    PrivateData()
    {
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            m_old = old;
        ::setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1);
    }
    ~PrivateData()
    {
        if (m_old)
            ::setenv("XDG_DATA_HOME", m_old->c_str(), 1);
        else
            ::unsetenv("XDG_DATA_HOME");
    }
    std::string dats() const { return m_dir.path() + "/cartscope/dats"; }

private:
    fixture::TempDir m_dir;
    std::optional<std::string> m_old;
};

Bytes image(std::uint8_t seed)
{
    Bytes b = ImageBuilder().gameCode("ABCE").deviceCapacity(1).minSize(0x9000).build();
    for (std::size_t i = 0x8000; i < 0x9000; ++i)
        b[i] = static_cast<std::uint8_t>(i * seed);
    return b;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

struct Collection {
    PrivateData data;
    fixture::TempDir dir;
    Bytes full = testdat::padded(image(1), 256 * 1024, 0xFF);
    Bytes trimmed = image(2);
    Bytes unknown = image(3);
    std::string dat = dir.file("ds.dat");

    testdat::Rom fullRom() const
    {
        testdat::Rom r = testdat::rom("Full Game", full);
        r.serial = "NTR-ABCE-USA"; // names the game code
        return r;
    }

    Collection()
    {
        const std::string xml = testdat::datXml(
            "Nintendo DS", "20260101",
            {fullRom(), testdat::rom("Trimmed Game", testdat::padded(trimmed, 256 * 1024, 0x00))});
        fixture::writeFile(dat, Bytes(xml.begin(), xml.end()));
        ::mkdir(dir.file("roms").c_str(), 0700);
        ::mkdir(dir.file("roms/sub").c_str(), 0700);
        fixture::writeFile(dir.file("roms/full.nds"), full);
        fixture::writeFile(dir.file("roms/sub/trimmed.NDS"), trimmed);
        fixture::writeFile(dir.file("roms/notes.txt"), Bytes(5, 'x'));
        // A link loop and a link to an image: neither is followed.
        ::symlink("..", dir.file("roms/sub/loop").c_str());
        ::symlink("../full.nds", dir.file("roms/sub/link.nds").c_str());
    }
};

TEST(CliVerify, AFolderIsWalkedAndEveryImageReported)
{
    const Collection c;
    const auto r = cli({"verify", "--dat", c.dat, "--jobs", "2", c.dir.file("roms")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    std::string all = r.out;
    EXPECT_NE(all.find("Verified            Full Game  " + c.dir.file("roms/full.nds")),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("Verified (trimmed)  Trimmed Game  " + c.dir.file("roms/sub/trimmed.NDS") +
                       "  (padded with 0x00 to 262144 bytes)"),
              std::string::npos)
        << all;
    EXPECT_EQ(out.back(), "2 images: 1 verified, 1 trimmed, 0 mismatched, 0 unknown, 0 errors");
}

TEST(CliVerify, JsonLinesCarryEveryKey)
{
    const Collection c;
    const auto r = cli({"verify", "--dat", c.dat, "--json", c.dir.file("roms/sub/trimmed.NDS")});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 1u);
    const std::string& j = out[0];
    for (const char* key :
         {"\"path\": ", "\"member\": null", "\"size\": 36864",
          "\"hashes\": {\"crc32\": ", "\"md5\": null",
          "\"trim\": {\"usedSize\": 36864, \"chipSize\": 262144, \"state\": "
          "\"trimmed\", \"paddingClean\": true}",
          "\"secureAreaForm\": \"homebrew\"", "\"verdict\": \"verified-trimmed\"",
          "\"match\": {\"game\": \"Trimmed Game\", \"rom\": \"game.nds\", \"dat\": \"Nintendo "
          "DS\", \"datVersion\": \"20260101\", \"by\": \"sha1\", \"padding\": \"00\", "
          "\"paddedSize\": 262144}",
          "\"matches\": [{", "\"serialMatches\": null", "\"error\": null", "\"torrentzip\": false"})
        EXPECT_NE(j.find(key), std::string::npos) << key << "\n" << j;
    EXPECT_NE(j.find("\"sha1\": \"" + testdat::refDigest("SHA1", c.trimmed) + "\""),
              std::string::npos);
    EXPECT_NE(r.err.find("1 image: 0 verified, 1 trimmed"), std::string::npos) << r.err;
    // An entry with a serial says whether it names the header's game code.
    const auto f = cli({"verify", "--dat", c.dat, "--json", c.dir.file("roms/full.nds")});
    EXPECT_NE(f.out.find("\"serialMatches\": true"), std::string::npos) << f.out;
}

TEST(CliVerify, CsvZipMembersAndErrorsKeepTheRunGoing)
{
    const Collection c;
    const std::string zip = c.dir.file("set.zip");
    testzip::writeZip(
        zip, {testzip::Entry::file("a.nds", c.full), testzip::Entry::file("b.dsi", c.unknown)});
    Bytes broken = testzip::buildZip({testzip::Entry::file("c.nds", c.full)}, {false, false, {}});
    broken[testzip::rawEntries(broken).at(0).data + 0x8100] ^= 1;
    fixture::writeFile(c.dir.file("broken.zip"), broken);
    fixture::writeFile(c.dir.file("not.zip"), Bytes(50, 'z'));
    const auto r =
        cli({"verify", "--dat", c.dat, "--csv", "--jobs", "1", zip, c.dir.file("broken.zip"),
             c.dir.file("not.zip"), c.dir.file("gone.nds"), c.dir.file("roms/sub/trimmed.NDS")});
    EXPECT_EQ(r.status, 1);
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 7u) << r.out;
    EXPECT_EQ(
        out[0],
        "path,member,size,verdict,game,dat,by,padding,crc32,md5,sha1,sha256,error,torrentzip");
    EXPECT_EQ(out[1], zip + ",a.nds,262144,verified,Full Game,Nintendo DS,sha1,," +
                          testdat::refCrc(c.full) + ",," + testdat::refDigest("SHA1", c.full) +
                          ",,,false");
    EXPECT_EQ(out[2].rfind(zip + ",b.dsi,36864,not-in-dat,,,,,", 0), 0u) << out[2];
    EXPECT_EQ(out[3].rfind(c.dir.file("broken.zip") + ",c.nds,,error,", 0), 0u) << out[3];
    EXPECT_NE(out[3].find("Damaged archive"), std::string::npos) << out[3];
    EXPECT_EQ(out[4].rfind(c.dir.file("not.zip") + ",,,error,", 0), 0u) << out[4];
    EXPECT_EQ(out[5].rfind(c.dir.file("gone.nds") + ",,,error,", 0), 0u) << out[5];
    EXPECT_EQ(out[6].rfind(c.dir.file("roms/sub/trimmed.NDS") +
                               ",,36864,verified-trimmed,Trimmed Game,Nintendo DS,sha1,00,",
                           0),
              0u)
        << out[6];
    EXPECT_NE(r.err.find("6 images: 1 verified, 1 trimmed, 0 mismatched, 1 unknown, 3 errors"),
              std::string::npos)
        << r.err;
}

TEST(CliVerify, SevenZipMembersAreStreamedInArchiveOrderAndFoundByTheWalk)
{
    const Collection c;
    fixture::writeFile(c.dir.file("roms/set.7z"),
                       testzip::buildSevenZip({testzip::Entry::file("b.dsi", c.unknown),
                                               testzip::Entry::file("readme.txt", "x"),
                                               testzip::Entry::file("a.nds", c.full)},
                                              "lzma2"));
    fixture::writeFile(c.dir.file("roms/bad.7z"), Bytes{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4});
    const auto r = cli({"verify", "--dat", c.dat, "--csv", "--jobs", "2", c.dir.file("roms")});
    EXPECT_EQ(r.status, 1);
    const auto out = lines(r.out);
    // Two jobs: the archives' rows may interleave, a member's rows keep the archive's order.
    std::vector<std::string> bad, set;
    for (const std::string& line : out) {
        if (line.rfind(c.dir.file("roms/bad.7z") + ",", 0) == 0)
            bad.push_back(line);
        if (line.rfind(c.dir.file("roms/set.7z") + ",", 0) == 0)
            set.push_back(line);
    }
    ASSERT_EQ(bad.size(), 1u) << r.out;
    ASSERT_EQ(set.size(), 2u) << r.out;
    EXPECT_EQ(bad[0].rfind(c.dir.file("roms/bad.7z") + ",,,error,", 0), 0u) << bad[0];
    EXPECT_NE(bad[0].find("is not a readable 7z archive"), std::string::npos);
    EXPECT_EQ(set[0].rfind(c.dir.file("roms/set.7z") + ",b.dsi,36864,not-in-dat,", 0), 0u)
        << set[0];
    EXPECT_EQ(set[1],
              c.dir.file("roms/set.7z") + ",a.nds,262144,verified,Full Game,Nintendo DS,sha1,," +
                  testdat::refCrc(c.full) + ",," + testdat::refDigest("SHA1", c.full) + ",,,false");
}

TEST(CliVerify, ArchivesByTheirBytesAndFilesThatAreNotFilesSayWhatTheyAre)
{
    const Collection c;
    // A gzip stream under an image's name, a zip under one, and a named pipe.
    Bytes gz(3 + c.full.size());
    gz[0] = 0x1F;
    gz[1] = 0x8B;
    gz[2] = 0x08;
    std::copy(c.full.begin(), c.full.end(), gz.begin() + 3);
    fixture::writeFile(c.dir.file("gz.nds"), gz);
    testzip::writeZip(c.dir.file("zip.nds"), {testzip::Entry::file("in.nds", c.full)});
    ASSERT_EQ(::mkfifo(c.dir.file("pipe.nds").c_str(), 0600), 0);
    const auto r = cli({"verify", "--dat", c.dat, "--jobs", "1", c.dir.file("gz.nds"),
                        c.dir.file("zip.nds"), c.dir.file("pipe.nds")});
    EXPECT_EQ(r.status, 1);
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), 4u) << r.out;
    EXPECT_EQ(out[0], "Error               \"" + c.dir.file("gz.nds") +
                          "\" is a gzip archive; Cartscope reads zip and 7z archives.  " +
                          c.dir.file("gz.nds"));
    EXPECT_EQ(out[1], "Verified            Full Game  " + c.dir.file("zip.nds") + " :: in.nds");
    EXPECT_EQ(out[2], "Error               Cannot open file \"" + c.dir.file("pipe.nds") +
                          "\". Not a regular file (a named pipe)  " + c.dir.file("pipe.nds"));
    EXPECT_EQ(out[3], "3 images: 1 verified, 0 trimmed, 0 mismatched, 0 unknown, 2 errors");
}

TEST(CliVerify, UnreadableFilesAreReported)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    const Collection c;
    fixture::writeFile(c.dir.file("roms/locked.nds"), c.full);
    ::chmod(c.dir.file("roms/locked.nds").c_str(), 0);
    const auto r = cli({"verify", "--dat", c.dat, c.dir.file("roms")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Error               Cannot open file \"" + c.dir.file("roms/locked.nds")),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("3 images: 1 verified, 1 trimmed, 0 mismatched, 0 unknown, 1 error\n"),
              std::string::npos)
        << r.out;
}

TEST(CliVerify, DatsFromTheFolderAndExitStatuses)
{
    const Collection c;
    // No DAT anywhere: every image is unknown, the run says where DATs go.
    auto r = cli({"verify", c.dir.file("roms/full.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No DAT loaded"), std::string::npos);
    EXPECT_NE(r.err.find(c.data.dats()), std::string::npos) << r.err;

    // DATs in the folder are loaded without --dat; a bad one there is skipped with its reason.
    ASSERT_EQ(std::system(("mkdir -p '" + c.data.dats() + "'").c_str()), 0);
    const Bytes xml = fixture::readFile(c.dat);
    fixture::writeFile(c.data.dats() + "/ds.xml", xml);
    fixture::writeFile(c.data.dats() + "/bad.dat", Bytes{'<', 'x'});
    r = cli({"verify", c.dir.file("roms/full.nds")});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("Skipping DAT: DAT \"" + c.data.dats() + "/bad.dat\" line 1"),
              std::string::npos)
        << r.err;

    // A bad DAT named on the command line ends the run.
    r = cli({"verify", "--dat", c.data.dats() + "/bad.dat", c.dir.file("roms/full.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");

    // One image verified and one not in the DAT: the run did not verify everything.
    fixture::writeFile(c.dir.file("unknown.nds"), c.unknown);
    r = cli({"verify", c.dir.file("roms/full.nds"), c.dir.file("unknown.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.out).back(),
              "2 images: 1 verified, 0 trimmed, 0 mismatched, 1 unknown, 0 errors");

    EXPECT_EQ(cli({"verify", "--json", "--csv", c.dir.file("roms")}).status, 2);
    EXPECT_EQ(cli({"verify", "--jobs", "0", c.dir.file("roms")}).status, 2);
    EXPECT_EQ(cli({"verify", "--jobs", "x", c.dir.file("roms")}).status, 2);
    EXPECT_EQ(cli({"verify"}).status, 2);
}

TEST(CliVerify, FilesThatAreNotDsImagesAreCountedApart)
{
    const Collection c;
    // 64 KiB of bytes that are no image, and 6 bytes.
    fixture::writeFile(c.dir.file("junk.nds"), fixture::pattern(0x10000, 9));
    fixture::writeFile(c.dir.file("six.nds"), Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
    auto r = cli({"verify", "--dat", c.dat, "--jobs", "1", c.dir.file("roms/full.nds"),
                  c.dir.file("junk.nds"), c.dir.file("six.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.out),
              (std::vector<std::string>{
                  "Verified            Full Game  " + c.dir.file("roms/full.nds"),
                  "Not an image        -  " + c.dir.file("junk.nds") +
                      "  (Not a DS image: neither its header CRC-16 nor its logo CRC-16 is right)",
                  "Not an image        -  " + c.dir.file("six.nds") +
                      "  (Not a DS image: shorter than a cartridge header (6 bytes))",
                  "3 images: 1 verified, 0 trimmed, 0 mismatched, 0 unknown, 0 errors, 2 not "
                  "images"}));
    // Without a DAT too; its trim state and secure area are not printed as facts.
    r = cli({"verify", "--json", c.dir.file("junk.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"trim\": null, \"secureAreaForm\": null, \"verdict\": "
                         "\"not-an-image\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("1 image: 0 verified, 0 trimmed, 0 mismatched, 0 unknown, 0 errors, 1 "
                         "not an image\n"),
              std::string::npos)
        << r.err;
    r = cli({"verify", "--csv", c.dir.file("six.nds")});
    EXPECT_EQ(lines(r.out).at(1).rfind(c.dir.file("six.nds") + ",,6,not-an-image,", 0), 0u)
        << r.out;

    r = cli({"info", "--json", c.dir.file("junk.nds")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"image\": false,\n  \"trim\": null,\n  \"secureAreaForm\": null,"),
              std::string::npos)
        << r.out;
    r = cli({"info", "--json", c.dir.file("roms/full.nds")});
    EXPECT_NE(r.out.find("\"image\": true,\n  \"trim\": {"), std::string::npos) << r.out;
}

TEST(CliVerify, CsvAndJsonCellsCannotInjectTerminalSequencesOrFormulas)
{
    const Collection c;
    ::mkdir(c.dir.file("odd").c_str(), 0700);
    const std::vector<std::string> names = {"+1.nds",
                                            "-x.nds",
                                            "=HYPERLINK(1).nds",
                                            "@sum.nds",
                                            "\tlead.nds",
                                            "a,\"b\".nds",
                                            "esc\x1b]0;pwned\x07\x1b[2J.nds",
                                            "rtl\xE2\x80\xAE"
                                            "sdn.nds"};
    for (const std::string& name : names)
        fixture::writeFile(c.dir.file("odd/" + name), c.unknown);
    auto r = cli({"verify", "--dat", c.dat, "--csv", "--jobs", "1", c.dir.file("odd")});
    EXPECT_EQ(r.status, 1);
    // Names come sorted by byte: tab, "+", "-", "=", "@", "a", "e", "r".
    std::vector<std::string> cells;
    for (const std::string& line : lines(r.out))
        cells.push_back(line.substr(0, line.find(",36864,")));
    const std::string odd = c.dir.file("odd/");
    const std::vector<std::string> expected = {
        "path,member,size,verdict,game,dat,by,padding,crc32,md5,sha1,sha256,error,torrentzip",
        odd + "\\tlead.nds,",
        odd + "+1.nds,",
        odd + "-x.nds,",
        odd + "=HYPERLINK(1).nds,",
        odd + "@sum.nds,",
        "\"" + odd + "a,\"\"b\"\".nds\",",
        odd + "esc\\x1B]0;pwned\\x07\\x1B[2J.nds,",
        odd + "rtl\\u{202E}sdn.nds,"};
    EXPECT_EQ(cells, expected) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

    // Only a cell that starts with a formula character gets the "'" (these paths start with
    // "/"): the game and DAT names here do.
    const std::string formulaDat = c.dir.file("formula.dat");
    const std::string xml =
        testdat::datXml("=cmd|' /C calc'!A0", "1", {testdat::rom("=1+2 Game", c.unknown)});
    fixture::writeFile(formulaDat, Bytes(xml.begin(), xml.end()));
    r = cli({"verify", "--dat", formulaDat, "--csv", c.dir.file("odd/+1.nds")});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines(r.out).size(), 2u) << r.out;
    EXPECT_NE(lines(r.out)[1].find(",verified,'=1+2 Game,'=cmd|' /C calc'!A0,"), std::string::npos)
        << r.out;

    // JSON writes the format character as an escape: the same string, nothing reordered.
    r = cli({"verify", "--dat", c.dat, "--json",
             c.dir.file("odd/rtl\xE2\x80\xAE"
                        "sdn.nds")});
    EXPECT_NE(r.out.find("rtl\\u202esdn.nds\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\xE2\x80\xAE"), std::string::npos) << r.out;
}

// An output that can no longer be written ("verify ... | head -1"): the run stops at the first
// failed write and says so, whatever the verdicts.
TEST(CliVerify, AFailedWriteStopsTheRun)
{
    struct Refusing : std::streambuf {
        int overflow(int) override { return traits_type::eof(); }
        std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    };
    const Collection c;
    for (int k = 0; k < 5; ++k)
        fixture::writeFile(c.dir.file("roms/sub/more" + std::to_string(k) + ".nds"), c.unknown);
    for (const std::string format : {"--csv", "--json", "text"}) {
        SCOPED_TRACE(format);
        Refusing refusing;
        std::ostream out(&refusing);
        std::ostringstream err;
        std::vector<std::string> args = {"verify", "--dat", c.dat,
                                         "--jobs", "1",     c.dir.file("roms")};
        if (format != "text")
            args.insert(args.begin() + 1, format);
        const int status = cartscope::cli::run(args, out, err, true);
        EXPECT_EQ(status, 1);
        const std::string e = err.str();
        EXPECT_EQ(e.substr(e.size() - std::min<std::size_t>(e.size(), 20)), "Stream write error.\n")
            << e;
        // The first row failed (the CSV header before it, for --csv): no later image is read.
        EXPECT_EQ(e.find("2/7 files"), std::string::npos) << e;
        EXPECT_EQ(e.find("images:"), std::string::npos) << e;
    }
}

TEST(CliInfo, JsonGainsHashesTrimAndSecureAreaForm)
{
    const Collection c;
    const std::string path = c.dir.file("roms/full.nds");
    auto r = cli({"info", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"hashes\": {\"crc32\": \"" + testdat::refCrc(c.full) +
                         "\", \"md5\": null, \"sha1\": null, \"sha256\": null}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"trim\": {\"usedSize\": 36864, \"chipSize\": 262144, \"state\": "
                         "\"full\", \"paddingClean\": true}"),
              std::string::npos);
    EXPECT_NE(r.out.find("\"secureAreaForm\": \"homebrew\""), std::string::npos);
    r = cli({"info", "--json", "--hashes", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"hashes\": {\"crc32\": \"" + testdat::refCrc(c.full) +
                         "\", \"md5\": \"" + testdat::refDigest("MD5", c.full) +
                         "\", \"sha1\": \"" + testdat::refDigest("SHA1", c.full) +
                         "\", \"sha256\": \"" + testdat::refDigest("SHA256", c.full) + "\"}"),
              std::string::npos)
        << r.out;
}

} // namespace
} // namespace cartscope
