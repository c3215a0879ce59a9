#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "cli/commands.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::fixture::TempDir;

using cartscope::testcli::cli;

std::string hex4(std::uint16_t v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        v.push_back(line);
    return v;
}

ImageBuilder treeImage()
{
    ImageBuilder b;
    b.title("MYGAME").gameCode("AMGJ").makerCode("08").romVersion(0x0A).root({
        Node::file("icon.bin", std::string("ICON")),
        Node::dir("data", {Node::dir("sound", {Node::file("bgm.sdat", Bytes(3000, 7))})}),
    });
    return b;
}

TEST(CliInfo, PrintsTheReportLinesWithValuesComputedIndependently)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    const Bytes img = treeImage().build();
    cartscope::fixture::writeFile(path, img);

    const auto r = cli({"info", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 15u); // no banner: no title sections
    const std::string d(25, '-');
    EXPECT_EQ(l[0], d);
    EXPECT_EQ(l[1], "Header Info for: game.nds");
    EXPECT_EQ(l[2], d);
    EXPECT_EQ(l[3], "Internal Name   : MYGAME");
    EXPECT_EQ(l[4], "Game Serial     : NTR-AMGJ-JPN");
    EXPECT_EQ(l[5], "Maker Code      : 08");
    EXPECT_EQ(l[6], "Publisher       : Capcom");
    EXPECT_EQ(l[7], "Version         : 1.A (0Ah)");
    EXPECT_EQ(l[8], "Secure Checksum : " +
                        hex4(cartscope::fixture::crc16Modbus(img.data() + 0x4000, 0x4000)) +
                        " (OK)");
    EXPECT_EQ(l[9], "Logo Checksum   : " +
                        hex4(cartscope::fixture::crc16Modbus(img.data() + 0xC0, 156)) + " (OK)");
    EXPECT_EQ(l[10], "Header Checksum : " +
                         hex4(cartscope::fixture::crc16Modbus(img.data(), 0x15E)) + " (OK)");
    EXPECT_EQ(l[11], "File Size       : 0Mbit (" + std::to_string(img.size()) + " bytes)");
    EXPECT_EQ(l[12], "Card Size       : 1Mbit (131072 bytes) (00h)");
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08lX", crc32(0, img.data(), static_cast<uInt>(img.size())));
    EXPECT_EQ(l[13], std::string("File CRC32      : ") + crc);
    EXPECT_EQ(l[14], d);
}

TEST(CliInfo, TitlesKeepLineFeedsAndControlCharactersAreEscaped)
{
    TempDir dir;
    auto banner = cartscope::fixture::sampleBanner();
    banner.titles = {u"", u"Two\nLines\x1b[31m", u"", u"", u"", u""};
    const std::string path = dir.file("t.nds");
    ImageBuilder().banner(banner).writeTo(path);
    const auto r = cli({"info", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Language 2\n----------\n\nTwo\nLines\\x1B[31m\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST(CliInfo, JsonCarriesEveryShownValue)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    // Distinct unit, device and capacity bytes, and stored CRCs left at zero so that stored and
    // computed differ: each value must come out under its own key.
    const Bytes img = treeImage()
                          .banner(cartscope::fixture::sampleBanner())
                          .unitCode(0x03)
                          .deviceType(0x41)
                          .deviceCapacity(0x2F)
                          .stampCrcs(false)
                          .build();
    cartscope::fixture::writeFile(path, img);
    const auto r = cli({"info", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08lX", crc32(0, img.data(), static_cast<uInt>(img.size())));
    const auto check = [&](const char* name, std::size_t from, std::size_t length) {
        return "\"" + std::string(name) + "\": {\"stored\": \"0000\", \"computed\": \"" +
               hex4(cartscope::fixture::crc16Modbus(img.data() + from, length)) +
               "\", \"ok\": false}";
    };
    for (const std::string& pair :
         {"\"file\": \"" + path + "\"",
          std::string("\"internalName\": \"MYGAME\""),
          "\"fileSize\": " + std::to_string(img.size()) + ",",
          "\"fileSizeText\": \"0Mbit (" + std::to_string(img.size()) + " bytes)\"",
          std::string("\"serial\": \"NTR-AMGJ-JPN\""),
          std::string("\"makerCode\": \"08\""),
          std::string("\"publisher\": \"Capcom\""),
          std::string(
              "\"cardSizeText\": \"140737488355328Mbit (1.84467440737096E19 bytes) (2Fh)\""),
          "\"crc32\": \"" + std::string(crc) + "\"",
          std::string("\"badDump\": false"),
          std::string("\"badDumpText\": \"Bad Data NOT Found, It's Likely This Dump Is Good!\""),
          std::string("\"version\": \"0A\""),
          std::string("\"unitCode\": \"03\""),
          std::string("\"deviceCode\": \"41\""),
          check("secureArea", 0x4000, 0x4000),
          check("logo", 0xC0, 156),
          check("header", 0, 0x15E),
          std::string("\"Cartscope Sample\\nHomebrew Test Image\""),
          std::string("\"GameCode\": \"AMGJ\""),
          std::string("\"UnitCode\": \"03\""),
          std::string("\"DeviceType\": \"41\""),
          std::string("\"DeviceCapacity\": \"2F\""),
          std::string("\"path\": \"/icon.bin\""),
          std::string("\"path\": \"/data/sound/bgm.sdat\""),
          std::string("\"size\": 4"),
          std::string("\"size\": 3000")})
        EXPECT_NE(r.out.find(pair), std::string::npos) << pair << "\n" << r.out;
    // A real JSON parser accepts it.
    const std::string json = dir.file("out.json");
    std::ofstream(json) << r.out;
    if (std::system("python3 -c 'import json' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3 is missing";
    EXPECT_EQ(
        std::system(("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " + json).c_str()),
        0);
}

TEST(CliList, PrintsRowsInListOrderAndAsJson)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    treeImage().writeTo(path);
    const auto r = cli({"list", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(0, 10), "/icon.bin\t");
    EXPECT_EQ(l[0].substr(l[0].size() - 2), "\t4");
    EXPECT_EQ(l[1].substr(0, 21), "/data/sound/bgm.sdat\t");
    const auto j = cli({"list", "--json", path});
    ASSERT_EQ(j.status, 0) << j.err;
    // The same rows, with the same values, in the same order.
    const std::size_t icon = j.out.find("\"path\": \"/icon.bin\", \"offset\": \"" +
                                        l[0].substr(10, 8) + "\", \"size\": 4");
    const std::size_t bgm = j.out.find("\"path\": \"/data/sound/bgm.sdat\", \"offset\": \"" +
                                       l[1].substr(21, 8) + "\", \"size\": 3000");
    EXPECT_NE(icon, std::string::npos) << j.out;
    EXPECT_NE(bgm, std::string::npos) << j.out;
    EXPECT_LT(icon, bgm);
}

TEST(CliExtract, ExtractsAllOrTheGivenPathsAndNamesUnknownOnes)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    treeImage().writeTo(path);
    const std::string out = dir.file("out");

    auto r = cli({"extract", path, out, "/data/sound/bgm.sdat"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cartscope::fixture::readFile(out + "/MYGAME/data/sound/bgm.sdat"), Bytes(3000, 7));
    EXPECT_FALSE(std::filesystem::exists(out + "/MYGAME/icon.bin"));
    EXPECT_NE(r.out.find("Extracted 1 file, 3000 bytes"), std::string::npos) << r.out;

    r = cli({"extract", path, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cartscope::fixture::readFile(out + "/MYGAME/icon.bin"), Bytes({'I', 'C', 'O', 'N'}));
    EXPECT_NE(r.out.find("Extracted 2 files, 3004 bytes"), std::string::npos) << r.out;

    r = cli({"extract", path, out, "/nope.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No file \"/nope.bin\" in the image.\n");
}

TEST(CliIcon, WritesTwoFilesWithTransparencyAndOneWithout)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    ImageBuilder().banner(cartscope::fixture::sampleBanner()).writeTo(path);
    auto r = cli({"icon", path, dir.file("icon.png")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("icon-Trans.png") + "\n" + dir.file("icon-NoTrans.png") + "\n");
    EXPECT_TRUE(std::filesystem::exists(dir.file("icon-Trans.png")));

    auto opaque = cartscope::fixture::sampleBanner();
    for (auto& b : opaque.icon)
        b = 0x11; // every pixel index 1
    ImageBuilder().banner(opaque).writeTo(path);
    r = cli({"icon", path, dir.file("flat")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("flat.png") + "\n");
}

TEST(CliErrors, MessagesFollowTheFullStopRuleAndUsageErrorsExitTwo)
{
    TempDir dir;
    auto r = cli({"info", dir.file("missing.nds")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Cannot open file \"" + dir.file("missing.nds") + "\". No such file or directory.\n");

    const std::string shortImage = dir.file("short.nds");
    ImageBuilder().totalSize(0x7FFF).writeTo(shortImage);
    r = cli({"info", shortImage});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Stream read error.\n");

    r = cli({"info", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open file"), std::string::npos);

    const std::string fifo = dir.file("fifo.nds");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    r = cli({"info", fifo});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Not a regular file"), std::string::npos) << r.err;

    r = cli({"info", "/dev/zero"});
    EXPECT_EQ(r.status, 1);

    EXPECT_EQ(cli({}).status, 2);
    EXPECT_EQ(cli({"frobnicate", "x"}).status, 2);
    EXPECT_EQ(cli({"info"}).status, 2);
    EXPECT_EQ(cli({"info", "--bogus", "x"}).status, 2);
    EXPECT_EQ(cli({"icon", "x"}).status, 2);
    r = cli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: cartscope-cli"), std::string::npos);
    r = cli({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("cartscope-cli ", 0), 0u);
}

// Each command accepts the options it reads and nothing else: an option it would ignore is a
// usage error, told as an unknown one would be.
TEST(CliErrors, AnOptionACommandDoesNotUseIsAUsageError)
{
    struct Case {
        std::string command;
        std::vector<std::string> positional;
        std::set<std::string> accepted;
    };
    const std::vector<Case> cases = {
        {"info", {"x.nds"}, {"--json", "--hashes"}},
        {"list", {"x.nds"}, {"--json", "--system", "--system-only", "--narc"}},
        {"extract", {"x.nds", "out"}, {"--force", "--system", "--system-only", "--narc"}},
        {"icon", {"x.nds", "out"}, {"--animated"}},
        {"verify", {"x.nds"}, {"--dat", "--jobs", "--json", "--csv"}},
    };
    const std::vector<std::string> options = {"--json",        "--force", "--hashes",   "--dat",
                                              "--jobs",        "--csv",   "--animated", "--system",
                                              "--system-only", "--narc"};
    const std::set<std::string> takesValue = {"--dat", "--jobs", "--narc"};
    const std::string usage = cli({"--help"}).out;
    for (const Case& c : cases) {
        for (const std::string& option : options) {
            std::vector<std::string> args = {c.command, option};
            if (takesValue.count(option))
                args.push_back("v");
            args.insert(args.end(), c.positional.begin(), c.positional.end());
            const auto r = cli(args);
            if (c.accepted.count(option)) {
                EXPECT_EQ(r.err.find("does not apply"), std::string::npos) << c.command << option;
                continue;
            }
            EXPECT_EQ(r.status, 2) << c.command << " " << option;
            EXPECT_EQ(r.err, "cartscope-cli: option " + option + " does not apply to " + c.command +
                                 "\n\n" + usage)
                << c.command << " " << option;
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(CliErrors, AFolderThatCannotBeMadeIsNamedWithItsReason)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    treeImage().writeTo(path);
    const std::string tooLong = dir.file(std::string(300, 'a'));
    auto r = cli({"extract", path, tooLong});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot create folder \"" + tooLong + "\". File name too long.\n");

    cartscope::fixture::writeFile(dir.file("plain"), Bytes{1});
    r = cli({"extract", path, dir.file("plain")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Cannot create folder \"" + dir.file("plain") + "\". ", 0), 0u) << r.err;
}

TEST(CliErrors, DoubleDashAllowsPathsBeginningWithADash)
{
    TempDir dir;
    const std::string path = dir.file("-odd.nds");
    treeImage().writeTo(path);
    // Back to the starting folder afterwards: later tests must not run in a removed one.
    const auto start = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto r = cli({"list", "--", "-odd.nds"});
    std::filesystem::current_path(start);
    EXPECT_EQ(r.status, 0) << r.err;
}

// Names a terminal would garble: each is printed escaped, reversibly, and given back so to
// extract it; JSON carries the exact bytes beside its text.
TEST(CliOutput, EscapedNamesGoBackToExtractAndJsonKeepsTheBytes)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    ImageBuilder b;
    b.title("NAMES").root({
        Node::file("caf\xE9_latin1.txt", std::string("latin1")),
        Node::file("tab\there", std::string("tab")),
        Node::file("back\\slash", std::string("back")),
        Node::file("invoice\xE2\x80\xAE"
                   "fdp.exe",
                   std::string("rlo")),
        Node::file("c1\xC2\x85"
                   "x",
                   std::string("c1")),
    });
    b.writeTo(path);
    auto r = cli({"list", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 5u);
    const std::vector<std::string> printed = {"/caf\\xE9_latin1.txt", "/tab\\there",
                                              "/back\\\\slash", "/invoice\\u{202E}fdp.exe",
                                              "/c1\\u{0085}x"};
    for (std::size_t i = 0; i < printed.size(); ++i)
        EXPECT_EQ(l[i].substr(0, l[i].find('\t')), printed[i]);

    // Every listed row can be extracted by the name `list` printed, and by its raw bytes.
    const std::string out = dir.file("out");
    std::vector<std::string> args = {"extract", path, out};
    args.insert(args.end(), printed.begin(), printed.end());
    r = cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Extracted 5 files"), std::string::npos) << r.out;
    EXPECT_EQ(cartscope::fixture::readFile(out + "/NAMES/caf\xE9_latin1.txt"),
              Bytes({'l', 'a', 't', 'i', 'n', '1'}));
    r = cli({"extract", path, dir.file("raw"), "/tab\there"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("raw/NAMES/tab_here")));

    // JSON: the text as before, and the exact bytes.
    r = cli({"list", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"path\": \"/caf\\ufffd_latin1.txt\", \"offset\": \""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"pathBytes\": \"2F636166E95F6C6174696E312E747874\"}"), std::string::npos)
        << r.out;
}

TEST(CliOutput, InfoJsonCarriesTheFullCharacterFieldsAndTitleCodeUnits)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    auto banner = cartscope::fixture::sampleBanner();
    banner.titles[0] = std::u16string{u'A', char16_t(0xD800), u'B'}; // a lone surrogate
    ImageBuilder b;
    b.title(std::string("AB\0CD", 5)).gameCode("AMGJ").makerCode("08").banner(banner);
    b.writeTo(path);
    const auto r = cli({"info", "--json", path});
    ASSERT_EQ(r.status, 0) << r.err;
    // The text stops at the NUL as before; the hex keeps all twelve bytes.
    EXPECT_NE(r.out.find("\"GameTitle\": \"AB\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"GameTitleHex\": \"414200434400000000000000\""), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"GameCodeHex\": \"414D474A\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"MakerCodeHex\": \"3038\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"titlesUtf16\": [\"0041D8000042\", \""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"titles\": [\"A\xEF\xBF\xBD"
                         "B\""),
              std::string::npos)
        << r.out;
}

TEST(CliExtract, AnImageWithoutFilesMakesNothing)
{
    TempDir dir;
    const std::string path = dir.file("empty.nds");
    ImageBuilder().title("EMPTY").writeTo(path);
    const auto r = cli({"extract", path, dir.file("out")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "No files to extract\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/EMPTY")));
}

// One file that cannot be written does not stop the run: it is named with its reason as it
// happens and again at the end, the rest is written, and the status is 1.
TEST(CliExtract, OneBadFileIsReportedAndTheRestWritten)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    ImageBuilder b;
    b.title("GAME").root({Node::file("a.bin", std::string("A")),
                          Node::file("blocked", std::string("B")),
                          Node::file("z.bin", std::string("Z"))});
    b.writeTo(path);
    std::filesystem::create_directories(dir.file("out/GAME/blocked")); // a folder where a file goes
    const auto r = cli({"extract", path, dir.file("out")});
    EXPECT_EQ(r.status, 1);
    const std::string reason =
        "/blocked: Cannot create file \"" + dir.file("out/GAME/blocked") + "\". Is a directory.\n";
    EXPECT_EQ(r.err, "error: " + reason + "1 file was not extracted:\n  " + reason);
    EXPECT_EQ(r.out, "Extracted 2 files, 2 bytes to " + dir.file("out/GAME") + ", 1 failed\n");
    EXPECT_EQ(cartscope::fixture::readFile(dir.file("out/GAME/z.bin")), Bytes({'Z'}));
}

TEST(CliExtract, ALockedImageIsInUseByAnotherProgram)
{
    TempDir dir;
    const std::string path = dir.file("game.nds");
    treeImage().writeTo(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto r = cli({"extract", path, dir.file("out")});
    ::close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file \"" + path + "\". It is in use by another program.\n");
}

// On a terminal the bar is drawn at most ten times a second and once more at the end.
TEST(CliExtract, TheProgressBarIsDrawnAtItsOwnPace)
{
    TempDir dir;
    const std::string path = dir.file("many.nds");
    cartscope::fixture::manyRowsOnOneRange(3000, 16).title("MANY").writeTo(path);
    std::ostringstream out, err;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(cartscope::cli::run({"extract", path, dir.file("out")}, out, err, true), 0)
        << err.str();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    const std::string text = err.str();
    const auto draws = std::count(text.begin(), text.end(), '\r');
    EXPECT_GE(draws, 2);
    EXPECT_LE(draws, ms / 100 + 2) << "in " << ms << " ms";
    // The last drawing shows the final count.
    EXPECT_NE(text.rfind("3000/3000"), std::string::npos);
}

// "nohup cartscope-cli ...": a signal ignored at start stays ignored; the others are caught.
TEST(CliSignals, IgnoredSignalsStayIgnored)
{
    struct sigaction saved[2]{};
    sigaction(SIGHUP, nullptr, &saved[0]);
    sigaction(SIGINT, nullptr, &saved[1]);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_DFL);
    cartscope::cli::installInterruptHandlers();
    struct sigaction now {};
    sigaction(SIGHUP, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGINT, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    EXPECT_NE(now.sa_handler, SIG_IGN);
    sigaction(SIGHUP, &saved[0], nullptr);
    sigaction(SIGINT, &saved[1], nullptr);
}

// A real file system that folds letter case, where the machine can mount one with a kernel
// driver (vfat, exfat, a casefolded ext4 folder): CARTSCOPE_TEST_CASEFOLD_DIR names a folder on
// it, or a FUSE one (exfat-fuse), where every spelling of a name has an inode of its own. CI
// cannot mount.
TEST(RealMounts, ACaseFoldingDestinationKeepsEveryFile)
{
    const char* folder = std::getenv("CARTSCOPE_TEST_CASEFOLD_DIR");
    if (!folder || !*folder)
        GTEST_SKIP() << "set CARTSCOPE_TEST_CASEFOLD_DIR to a folder on FAT or exFAT";
    TempDir dir;
    const std::string path = dir.file("game.nds");
    ImageBuilder b;
    b.title("CASEFOLD")
        .root({
            Node::file("CASE.TXT", std::string("upper")),
            Node::file("case.txt", std::string("lower")),
            Node::dir("Data", {Node::file("x.bin", std::string("first"))}),
            Node::dir("DATA", {Node::file("x.bin", std::string("second"))}),
        });
    b.writeTo(path);
    const std::string out = std::string(folder) + "/cartscope-casefold-test";
    std::filesystem::remove_all(out);
    auto r = cli({"extract", path, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Extracted 4 files, 21 bytes"), std::string::npos) << r.out;
    // Again into the same folder: every row lands where it did.
    r = cli({"extract", path, out});
    EXPECT_EQ(r.status, 0) << r.err;
    std::size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(out))
        files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 4u);
    const auto read = [](const std::string& p) {
        const Bytes bytes = cartscope::fixture::readFile(p);
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(read(out + "/CASEFOLD/CASE.TXT"), "upper");
    EXPECT_EQ(read(out + "/CASEFOLD/case (2).txt"), "lower");
    EXPECT_EQ(read(out + "/CASEFOLD/Data/x.bin"), "first");
    EXPECT_EQ(read(out + "/CASEFOLD/DATA (2)/x.bin"), "second");
    std::filesystem::remove_all(out);
}

// A small real file system (a 1 MiB tmpfs, say): CARTSCOPE_TEST_SMALL_FS_DIR names a folder on
// it. 3,005 files of 16 bytes are 48 KB, but each takes a block (and an inode): the run is refused
// before anything is written.
TEST(RealMounts, SmallFilesAreCountedInBlocksAndInodes)
{
    const char* folder = std::getenv("CARTSCOPE_TEST_SMALL_FS_DIR");
    if (!folder || !*folder)
        GTEST_SKIP() << "set CARTSCOPE_TEST_SMALL_FS_DIR to a folder on a file system of 1 MiB";
    TempDir dir;
    const std::string path = dir.file("many.nds");
    cartscope::fixture::manyRowsOnOneRange(3005, 16).title("MANY").writeTo(path);
    const std::string out = std::string(folder) + "/cartscope-small-test";
    const auto r = cli({"extract", path, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("The files to extract need "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("; use --force to extract anyway."), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out + "/MANY"));
    // Forced, the run fills the disk: each file that does not fit is named with the reason.
    const auto forced = cli({"extract", "--force", path, out});
    EXPECT_EQ(forced.status, 1);
    EXPECT_NE(forced.err.find("No space left on device."), std::string::npos) << forced.err;
    std::filesystem::remove_all(out);
}

} // namespace
