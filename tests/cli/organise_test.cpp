#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include "tests/archive/zip_builder.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/dat_fixture.h"
#include "tests/fixture/other_fs_dir.h"

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

// The members of a zip as libarchive reads them, in archive order.
std::vector<std::pair<std::string, Bytes>> readZip(const std::string& path)
{
    std::vector<std::pair<std::string, Bytes>> out;
    archive* a = archive_read_new();
    archive_read_support_format_zip(a);
    if (archive_read_open_filename(a, path.c_str(), 1 << 16) == ARCHIVE_OK) {
        archive_entry* e = nullptr;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            Bytes data(static_cast<std::size_t>(archive_entry_size(e)));
            const auto n = archive_read_data(a, data.data(), data.size());
            data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
            out.emplace_back(archive_entry_pathname(e), std::move(data));
        }
    }
    archive_read_free(a);
    return out;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Every regular file below `dir` by its path below it.
void filesBelow(const std::string& dir, const std::string& prefix,
                std::map<std::string, Bytes>& out)
{
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        const std::string path = dir + "/" + name;
        ::lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode))
            filesBelow(path, prefix + name + "/", out);
        else
            out[prefix + name] = fixture::readFile(path);
    }
    ::closedir(d);
}

std::map<std::string, Bytes> tree(const std::string& dir)
{
    std::map<std::string, Bytes> out;
    filesBelow(dir, "", out);
    return out;
}

// Three games in one DAT, one dumped full, one trimmed (padded with 0x00 in the DAT), one in a
// zip; a copy of the first under another name; a dump no DAT knows.
struct Collection {
    fixture::TempDir dir;
    Bytes full = testdat::padded(image(1), 256 * 1024, 0xFF);
    Bytes trimmed = image(2);
    Bytes trimmedPadded = testdat::padded(trimmed, 256 * 1024, 0x00);
    Bytes zipped = testdat::padded(image(4), 256 * 1024, 0xFF);
    Bytes unknown = image(3);
    std::string dat = dir.file("ds.dat");
    std::string roms = dir.file("roms");
    std::string to = dir.file("sorted");

    Collection()
    {
        const std::string xml = testdat::datXml(
            "Nintendo - DS (Decrypted)", "1",
            {testdat::rom("Full Game (Europe)", full, "Full Game (Europe).nds"),
             testdat::rom("Trimmed Game (USA)", trimmedPadded, "Trimmed Game (USA).nds"),
             testdat::rom("Zipped Game (Japan)", zipped, "Zipped Game (Japan).nds")});
        fixture::writeFile(dat, Bytes(xml.begin(), xml.end()));
        ::mkdir(roms.c_str(), 0700);
        fixture::writeFile(roms + "/a.nds", full);
        fixture::writeFile(roms + "/b.nds", trimmed);
        fixture::writeFile(roms + "/c.nds", full);
        fixture::writeFile(roms + "/d.nds", unknown);
        testzip::writeZip(roms + "/e.zip", {testzip::Entry::file("z.nds", zipped)});
    }
    std::string sorted(const std::string& name) const
    {
        return to + "/Nintendo - DS (Decrypted)/" + name;
    }
};

TEST(CliOrganise, RawCopyPlacesEachRomOnceAndASecondRunChangesNothing)
{
    const Collection c;
    const auto r = cli({"organise", "--to", c.to, "--dat", c.dat, c.roms});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fixture::readFile(c.sorted("Full Game (Europe).nds")), c.full);
    // Raw output keeps a trimmed dump as it is; the archive's member comes out of it.
    EXPECT_EQ(fixture::readFile(c.sorted("Trimmed Game (USA).nds")), c.trimmed);
    EXPECT_EQ(fixture::readFile(c.sorted("Zipped Game (Japan).nds")), c.zipped);
    EXPECT_EQ(tree(c.to).size(), 3u);
    EXPECT_NE(r.out.find("duplicate  " + c.roms + "/c.nds  (the same rom as " + c.roms + "/a.nds)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Not in DAT"), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("4 dumps verified: 3 placed, 0 already in place, 1 duplicates, 0 skipped; 1 not "
                   "verified, 0 errors"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(tree(c.roms).size(), 5u); // a copy leaves the sources

    const auto before = tree(c.to);
    const auto again = cli({"organise", "--to", c.to, "--dat", c.dat, c.roms, c.to});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("0 placed, 3 already in place"), std::string::npos) << again.out;
    EXPECT_EQ(tree(c.to), before);
}

TEST(CliOrganise, PadAndZipFormatsHoldTheDatsBytes)
{
    const Collection c;
    const auto padded = cli({"organise", "--to", c.to, "--pad", "--dat", c.dat, c.roms + "/b.nds"});
    EXPECT_EQ(padded.status, 0) << padded.out;
    EXPECT_EQ(fixture::readFile(c.sorted("Trimmed Game (USA).nds")), c.trimmedPadded);

    for (const std::string format : {"zip", "torrentzip"}) {
        const std::string to = c.dir.file(format);
        const auto r = cli({"organise", "--to", to, "--format", format, "--dat", c.dat, c.roms});
        EXPECT_EQ(r.status, 0) << r.out;
        const std::string zip = to + "/Nintendo - DS (Decrypted)/Trimmed Game (USA).zip";
        const auto entries = readZip(zip);
        ASSERT_EQ(entries.size(), 1u) << format;
        EXPECT_EQ(entries[0].first, "Trimmed Game (USA).nds");
        EXPECT_EQ(entries[0].second, c.trimmedPadded) << format;
        const auto v = cli({"verify", "--dat", c.dat, zip});
        const bool tz = format == "torrentzip";
        EXPECT_EQ(v.out.find("(torrentzipped)\n") != std::string::npos, tz) << v.out;
        const auto j = cli({"verify", "--dat", c.dat, "--json", zip});
        EXPECT_NE(j.out.find(tz ? "\"torrentzip\": true" : "\"torrentzip\": false"),
                  std::string::npos)
            << j.out;
        const auto csv = cli({"verify", "--dat", c.dat, "--csv", zip});
        EXPECT_NE(csv.out.find(tz ? ",true\n" : ",false\n"), std::string::npos) << csv.out;
    }
}

// Bytes this process has read so far, by every read and pread (the page cache's included).
std::uint64_t bytesRead()
{
    const Bytes io = fixture::readFile("/proc/self/io");
    const std::string text(io.begin(), io.end());
    const std::size_t at = text.find("rchar: ");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + 7));
}

// Whatever it writes, organise reads each dump once: no more than verify reads of the same
// dumps, give or take the DAT and the destination's checks.
TEST(CliOrganise, EachDumpIsReadOnceWhateverIsWritten)
{
    const Collection c;
    const std::uint64_t before = bytesRead();
    ASSERT_EQ(cli({"verify", "--dat", c.dat, c.roms}).status, 1); // d.nds is not in the DAT
    const std::uint64_t verify = bytesRead() - before;
    ASSERT_GT(verify, 2 * 256 * 1024u);
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--format", "raw"},
                                                    {"--format", "raw", "--pad"},
                                                    {"--format", "zip"},
                                                    {"--format", "torrentzip"}}) {
        SCOPED_TRACE(options.back());
        const std::string to = c.dir.file("to" + options[1] + std::to_string(options.size()));
        std::vector<std::string> args = {"organise", "--to", to, "--dat", c.dat, c.roms};
        args.insert(args.end(), options.begin(), options.end());
        const std::uint64_t start = bytesRead();
        const auto r = cli(args);
        const std::uint64_t read = bytesRead() - start;
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_LT(read, verify + 4096) << "verify read " << verify;
    }
}

TEST(CliOrganise, DryRunPrintsThePlanAndTouchesNothing)
{
    const Collection c;
    const auto r = cli({"organise", "--to", c.to, "--move", "--dry-run", "--dat", c.dat, c.roms});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(
        r.out.find("would move  " + c.roms + "/a.nds -> " + c.sorted("Full Game (Europe).nds")),
        std::string::npos)
        << r.out;
    EXPECT_FALSE(exists(c.to));
    EXPECT_EQ(tree(c.roms).size(), 5u);
    // Nor does a copy in which nothing verifies leave a folder behind.
    const auto none = cli({"organise", "--to", c.to, "--dat", c.dat, c.roms + "/d.nds"});
    EXPECT_EQ(none.status, 0) << none.out;
    EXPECT_FALSE(exists(c.to));
}

TEST(CliOrganise, MoveRemovesFilesButNeverArchivesAndLinkSharesTheFile)
{
    const Collection c;
    const auto r = cli({"organise", "--to", c.to, "--move", "--dat", c.dat, c.roms});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(exists(c.roms + "/a.nds"));
    EXPECT_FALSE(exists(c.roms + "/b.nds"));
    EXPECT_TRUE(exists(c.roms + "/c.nds")); // the duplicate stays
    EXPECT_TRUE(exists(c.roms + "/e.zip"));
    EXPECT_NE(r.out.find("kept archive  " + c.roms + "/e.zip"), std::string::npos) << r.out;
    EXPECT_EQ(fixture::readFile(c.sorted("Zipped Game (Japan).nds")), c.zipped);

    const std::string to = c.dir.file("linked");
    const auto l = cli({"organise", "--to", to, "--link", "--dat", c.dat, c.roms + "/c.nds"});
    EXPECT_EQ(l.status, 0) << l.out;
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat((c.roms + "/c.nds").c_str(), &a), 0);
    ASSERT_EQ(::stat((to + "/Nintendo - DS (Decrypted)/Full Game (Europe).nds").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST(CliOrganise, ADumpInsideA7zArchiveIsPlacedAndTheArchiveKept)
{
    const Collection c;
    const std::string set = c.dir.file("set.7z");
    fixture::writeFile(set,
                       testzip::buildSevenZip({testzip::Entry::file("z.nds", c.zipped)}, "lzma2"));
    const auto r = cli({"organise", "--to", c.to, "--move", "--dat", c.dat, set});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fixture::readFile(c.sorted("Zipped Game (Japan).nds")), c.zipped);
    EXPECT_TRUE(exists(set));
}

TEST(CliOrganise, AnotherFileAtTheDestinationIsKeptAndReported)
{
    const Collection c;
    ::mkdir(c.to.c_str(), 0700);
    ::mkdir((c.to + "/Nintendo - DS (Decrypted)").c_str(), 0700);
    fixture::writeFile(c.sorted("Full Game (Europe).nds"), Bytes(10, 'x'));
    const auto r = cli({"organise", "--to", c.to, "--move", "--dat", c.dat, c.roms + "/a.nds"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("exists and holds something else"), std::string::npos) << r.out;
    EXPECT_EQ(fixture::readFile(c.sorted("Full Game (Europe).nds")), Bytes(10, 'x'));
    EXPECT_TRUE(exists(c.roms + "/a.nds"));
}

TEST(CliOrganise, HostileDatNamesStayInsideTheFolder)
{
    fixture::TempDir dir;
    const Bytes a = testdat::padded(image(5), 256 * 1024, 0xFF);
    const Bytes b = testdat::padded(image(6), 256 * 1024, 0xFF);
    const Bytes d = testdat::padded(image(7), 256 * 1024, 0xFF);
    const std::string xml =
        testdat::datXml("../../escape", "1",
                        {testdat::rom("CON", a, "../../../a.nds"), testdat::rom("B", b, "x:y?.nds"),
                         testdat::rom("D", d, "x_y_.nds")});
    fixture::writeFile(dir.file("h.dat"), Bytes(xml.begin(), xml.end()));
    ::mkdir(dir.file("in").c_str(), 0700);
    fixture::writeFile(dir.file("in/1.nds"), a);
    fixture::writeFile(dir.file("in/2.nds"), b);
    fixture::writeFile(dir.file("in/3.nds"), d);
    const std::string to = dir.file("out/deep");
    const auto r = cli(
        {"organise", "--to", to, "--format", "zip", "--dat", dir.file("h.dat"), dir.file("in")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(tree(dir.path()).size(), 1u + 3u + 3u);
    const auto placed = tree(to);
    ASSERT_EQ(placed.size(), 3u);
    for (const char* name : {".._.._escape/_CON.zip", ".._.._escape/B.zip", ".._.._escape/D.zip"})
        EXPECT_EQ(placed.count(name), 1u) << name;
    EXPECT_EQ(readZip(to + "/.._.._escape/_CON.zip").at(0).first, ".._.._.._a.nds");
    // "x:y?.nds" and "x_y_.nds" are one name once cleaned, but live in different zips.
    EXPECT_EQ(readZip(to + "/.._.._escape/B.zip").at(0).first, "x_y_.nds");
}

// A child running `organise --move` is killed at many points; after each kill every dump is
// still somewhere, whole, and the last run finishes the job.
TEST(CliOrganise, KilledAtAnyPointAMoveLosesNothingAndTheNextRunFinishes)
{
    const std::string binary = CARTSCOPE_BINARY_DIR "/cli/cartscope-cli";
    // A raw copy also writes each dump as it is verified, long before its place is known; so do
    // --pad and a move to another file system, which place that copy and then remove the source.
    const struct Row {
        std::string mode, format;
        bool pad;     // the dumps are trimmed and placed padded
        bool otherFs; // the dumps lie on another file system than the destination
    } rows[] = {
        {"--move", "raw", false, false}, {"--move", "torrentzip", false, false},
        {"--copy", "raw", false, false}, {"--copy", "raw", true, false},
        {"--move", "raw", true, false},  {"--move", "raw", false, true},
    };
    for (const Row& row : rows) {
        const std::string& mode = row.mode;
        const std::string& format = row.format;
        const std::string label = mode + " " + format + (row.pad ? " --pad" : "") +
                                  (row.otherFs ? " across file systems" : "");
        fixture::TempDir dir;
        const fixture::OtherFileSystemDir other(dir.path());
        if (row.otherFs && other.path().empty()) {
            std::cerr << "no second file system: a move across file systems not run\n";
            continue;
        }
        const std::string in = row.otherFs ? other.file("in") : dir.file("in");
        std::vector<Bytes> dumps, placed;
        std::vector<testdat::Rom> roms;
        ::mkdir(in.c_str(), 0700);
        for (int i = 0; i < 6; ++i) {
            const Bytes trimmed = image(static_cast<std::uint8_t>(10 + i));
            placed.push_back(testdat::padded(trimmed, 256 * 1024, 0xFF));
            dumps.push_back(row.pad ? trimmed : placed.back());
            roms.push_back(testdat::rom("Game " + std::to_string(i), placed.back(),
                                        "Game " + std::to_string(i) + ".nds"));
            fixture::writeFile(in + "/" + std::to_string(i) + ".nds", dumps.back());
        }
        const std::string xml = testdat::datXml("Set", "1", roms);
        fixture::writeFile(dir.file("s.dat"), Bytes(xml.begin(), xml.end()));
        const std::string to = dir.file("out");
        const auto runChild = [&](int killAfterMicros) {
            const pid_t pid = fork();
            if (pid == 0) {
                const int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, 1);
                ::dup2(null, 2);
                ::execl(binary.c_str(), binary.c_str(), "organise", mode.c_str(), "--jobs", "2",
                        "--format", format.c_str(), "--to", to.c_str(), "--dat",
                        dir.file("s.dat").c_str(), in.c_str(), row.pad ? "--pad" : nullptr,
                        nullptr);
                ::_exit(127);
            }
            if (killAfterMicros >= 0) {
                ::usleep(static_cast<useconds_t>(killAfterMicros));
                ::kill(pid, SIGKILL);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
            return status;
        };
        const auto everyDumpWhole = [&] {
            const auto sources = tree(in);
            const auto out = tree(to);
            for (std::size_t i = 0; i < dumps.size(); ++i) {
                const std::string name = "Game " + std::to_string(i);
                bool found = sources.count(std::to_string(i) + ".nds") &&
                             sources.at(std::to_string(i) + ".nds") == dumps[i];
                if (format == "raw")
                    found = found || (out.count("Set/" + name + ".nds") &&
                                      out.at("Set/" + name + ".nds") == placed[i]);
                else if (out.count("Set/" + name + ".zip"))
                    found = found || readZip(to + "/Set/" + name + ".zip").at(0).second == dumps[i];
                if (!found)
                    return "Game " + std::to_string(i) + " lost";
            }
            // Nothing half written, nothing staged left behind under a name.
            for (const auto& [path, bytes] : out)
                if (format == "raw" &&
                    std::find(placed.begin(), placed.end(), bytes) == placed.end())
                    return path + " is not a whole dump";
            return std::string();
        };
        // Early points land in the verification, later ones among the writes and removals.
        for (int micros = 1000; micros < 400000; micros *= 3) {
            runChild(micros);
            ASSERT_EQ(everyDumpWhole(), "") << label << " killed after " << micros;
        }
        const int status = runChild(-1);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << label;
        EXPECT_EQ(everyDumpWhole(), "") << label;
        EXPECT_EQ(tree(in).size(), mode == "--copy" ? dumps.size() : 0u) << label;
        EXPECT_EQ(tree(to).size(), dumps.size()) << label;
    }
}

} // namespace
} // namespace cartscope
