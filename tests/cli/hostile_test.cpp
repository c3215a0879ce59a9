// Hostile images and archives through the command line: whatever the bytes say, no crash, no
// hang, no write outside the chosen folder, no temporary file left, and either the values that
// can be shown or the message the user should read.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "tests/archive/zip_builder.h"
#include "tests/cli/run_cli.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;
using cartscope::fixture::Bytes;
using cartscope::fixture::ImageBuilder;
using cartscope::fixture::Node;
using cartscope::fixture::TempDir;

using cartscope::testcli::cli;

// Every entry below root (symbolic links not followed), as paths relative to root.
std::set<std::string> treeOf(const std::string& root)
{
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root))
        names.insert(fs::relative(e.path(), root).string());
    return names;
}

// A folder per test with the image, the destination "out" and the cache for archive copies.
class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("XDG_CACHE_HOME", m_dir.file("cache").c_str(), 1);
        cartscope::cli::g_interrupted = false;
    }
    void TearDown() override { cartscope::cli::g_interrupted = false; }
    std::string image(const Bytes& bytes, const std::string& name = "x.nds")
    {
        cartscope::fixture::writeFile(m_dir.file(name), bytes);
        return m_dir.file(name);
    }
    std::string out() const { return m_dir.file("out"); }
    // Nothing exists in the test folder but the inputs, "out" and the (empty) cache.
    void expectNothingOutsideOut(const std::set<std::string>& inputs)
    {
        for (const auto& name : treeOf(m_dir.path())) {
            if (name == "out" || name.rfind("out/", 0) == 0 || inputs.count(name))
                continue;
            if (name == "cache" || name == "cache/cartscope" || name == "cache/cartscope/Temp")
                continue;
            ADD_FAILURE() << "unexpected entry " << name;
        }
    }
    TempDir m_dir;
};

using cartscope::fixture::le16;
using cartscope::fixture::le32;

Bytes withTables(const Bytes& fnt, const Bytes& fat)
{
    return cartscope::fixture::withTables(fnt, fat).build();
}

TEST_F(Hostile, NamesAndTitlesThatTryToEscapeStayInsideTheDestination)
{
    for (const std::string title : {"../../evil", "/abs", "", "..", ".", "a\\b", "CON"}) {
        SCOPED_TRACE(title);
        const auto path =
            image(ImageBuilder().title(title).root(cartscope::fixture::escapingTree()).build());
        const auto r = cli({"extract", path, out()});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Extracted 10 files"), std::string::npos) << r.out;
        expectNothingOutsideOut({"x.nds"});
        // Everything sits in exactly one folder below out.
        std::set<std::string> top;
        for (const auto& e : fs::directory_iterator(out()))
            top.insert(e.path().filename().string());
        EXPECT_EQ(top.size(), 1u);
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
        fs::remove_all(out());
    }
}

TEST_F(Hostile, SymbolicLinksAtTheDestinationAreReplacedNotFollowed)
{
    const auto path = image(ImageBuilder()
                                .title("GAME")
                                .root({Node::dir("d", {Node::file("f.bin", std::string("new"))})})
                                .build());
    const std::string victim = m_dir.file("victim");
    cartscope::fixture::writeFile(victim, Bytes{'o', 'l', 'd'});
    fs::create_directories(out() + "/GAME");
    fs::create_symlink(m_dir.path(), out() + "/GAME/d"); // a planted folder link
    const auto r = cli({"extract", path, out()});
    // Either the link is replaced or the file is refused; the folder it points at never
    // receives the file.
    EXPECT_FALSE(fs::exists(m_dir.file("f.bin")));
    EXPECT_EQ(cartscope::fixture::readFile(victim), Bytes({'o', 'l', 'd'}));
    if (r.status == 0) {
        EXPECT_FALSE(fs::is_symlink(out() + "/GAME/d"));
        EXPECT_EQ(cartscope::fixture::readFile(out() + "/GAME/d/f.bin"), Bytes({'n', 'e', 'w'}));
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Cannot create file \"" + out() + "/GAME/d/f.bin\""),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(Hostile, DirectoryCyclesSelfParentsAndHugeCountsEndInBoundedLists)
{
    // Root and two directories; directory 1's parent is 2 and 2's parent is 1 (a cycle), and a
    // third entry is its own parent. The count field claims 0xFFFF directories.
    for (std::uint16_t count : {std::uint16_t{4}, std::uint16_t{0xFFFF}, std::uint16_t{0x1000}}) {
        SCOPED_TRACE(count);
        Bytes fnt;
        const std::uint32_t sub = 4 * 8;
        le32(fnt, sub), le16(fnt, 0), le16(fnt, count);
        le32(fnt, sub + 12), le16(fnt, 1), le16(fnt, 0xF002);
        le32(fnt, sub + 12), le16(fnt, 1), le16(fnt, 0xF001); // shares directory 1's sub-table
        le32(fnt, sub), le16(fnt, 2), le16(fnt, 0xF003);      // shares the root's, self-parent
        // root: dir "a" (id 1), dir "b" (id 2), end
        for (auto [name, id] : {std::pair{"a", 0xF001}, std::pair{"b", 0xF002}}) {
            fnt.push_back(0x81), fnt.push_back(static_cast<std::uint8_t>(name[0]));
            le16(fnt, static_cast<std::uint16_t>(id));
        }
        fnt.push_back(0x83), fnt.insert(fnt.end(), {'s', 'e', 'l'}), le16(fnt, 0xF003);
        fnt.push_back(0);
        fnt.push_back(0x05), fnt.insert(fnt.end(), {'f', '.', 'b', 'i', 'n'});
        fnt.push_back(0);
        Bytes fat;
        for (int i = 0; i < 4; ++i)
            le32(fat, 0x9000), le32(fat, 0x9010);
        const auto path = image(withTables(fnt, fat));
        const auto r = cli({"list", path});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_LT(std::count(r.out.begin(), r.out.end(), '\n'), 100) << r.out;
        const auto x = cli({"extract", path, out()});
        EXPECT_EQ(x.status, 0) << x.err;
        expectNothingOutsideOut({"x.nds"});
        fs::remove_all(out());
    }
}

TEST_F(Hostile, SubTablesRunningToTheEndOrIntoThemselvesTerminate)
{
    Bytes fnt;
    le32(fnt, 8), le16(fnt, 0), le16(fnt, 1);
    // A sub-table of file entries with no terminating zero, running to the end of the image.
    const auto path = image(ImageBuilder()
                                .totalSize(0x8000 + 8 + 2 * 200)
                                .poke32(0x40, 0x8000)
                                .poke32(0x48, 0)
                                .pokeBytes(0x8000, fnt)
                                .pokeBytes(0x8008, Bytes(2 * 200, 0x01))
                                .build());
    auto r = cli({"list", path});
    EXPECT_EQ(r.status, 0) << r.err;

    Bytes self;
    le32(self, 0), le16(self, 0), le16(self, 1); // the root's sub-table is the main table itself
    r = cli({"list", image(withTables(self, Bytes(64, 0)), "self.nds")});
    EXPECT_EQ(r.status, 0) << r.err;

    // A directory ID cut after its first byte by the end of the image (or of a NARC's name
    // block) is dropped, never completed with a zero into directory A's ID.
    const auto cut = image(cartscope::fixture::cutDirectoryIdImage().build(), "cut.nds");
    r = cli({"list", cut});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/A/good.txt\t00008100\t4\n");
    r = cli({"extract", cut, out()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(cartscope::fixture::filesBelow(out()),
              (std::map<std::string, Bytes>{{"CARTSCOPE/A/good.txt", Bytes{'g', 'o', 'o', 'd'}}}));
    ImageBuilder holder;
    holder.root({Node::file("c.narc", cartscope::fixture::cutDirectoryIdNarc())});
    r = cli({"list", "--narc", "/c.narc", image(holder.build(), "narc.nds")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "/A/good.txt");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

TEST_F(Hostile, AllocationEntriesPastTheEndReversedOrHugeNeverLeaveHalfFiles)
{
    for (auto [start, end] : {std::pair<std::uint32_t, std::uint32_t>{0xF000, 0x20000},
                              {0x9000, 0x8000},
                              {0, 0xFFFFFFFF},
                              {0xFFFFFFF0, 0xFFFFFFFF}}) {
        SCOPED_TRACE(end);
        Bytes fnt;
        le32(fnt, 8), le16(fnt, 0), le16(fnt, 1);
        fnt.push_back(5), fnt.insert(fnt.end(), {'f', '.', 'b', 'i', 'n'}), fnt.push_back(0);
        Bytes fat;
        le32(fat, start), le32(fat, end);
        const auto path = image(withTables(fnt, fat));
        const auto r = cli({"extract", "--force", path, out()});
        // The size is the signed 32-bit difference: reversed and 0xFFFFFFFF-long entries are
        // negative and give empty files; a range past the end fails that file.
        const auto size = static_cast<std::int32_t>(end - start);
        if (size > 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "error: /f.bin: Its range lies past the end of the image.\n"
                             "1 file was not extracted:\n"
                             "  /f.bin: Its range lies past the end of the image.\n");
            EXPECT_FALSE(fs::exists(out() + "/CARTSCOPE/f.bin")); // no half-written file
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(fs::file_size(out() + "/CARTSCOPE/f.bin"), 0u); // reversed: empty file
        }
        expectNothingOutsideOut({"x.nds"});
        fs::remove_all(out());
    }
}

TEST_F(Hostile, ThousandsOfRowsOnOneRangeAreCheckedAgainstFreeSpaceAndCancellable)
{
    // 3000 names all pointing at the same 256 KiB: listed once each, and a Ctrl-C during the
    // run stops it between files, leaving only whole files.
    constexpr std::uint32_t kRange = 0x40000;
    const auto path = image(cartscope::fixture::manyRowsOnOneRange(3000, kRange).build());
    auto r = cli({"list", path});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3000);

    // The real program, interrupted once a few files are out.
    const std::string binary = CARTSCOPE_BINARY_DIR "/cli/cartscope-cli";
    const std::string log = m_dir.file("log");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!freopen(log.c_str(), "w", stdout) || !freopen(log.c_str(), "a", stderr))
            _exit(99);
        execl(binary.c_str(), binary.c_str(), "extract", "--force", path.c_str(), out().c_str(),
              static_cast<char*>(nullptr));
        _exit(98);
    }
    // The child is stopped while the folder is counted, so it cannot finish between the count
    // and the signal; SIGINT stays pending until it runs on.
    const std::string folder = out() + "/CARTSCOPE";
    bool signalled = false;
    for (int i = 0; i < 4000 && !signalled; ++i) {
        if (kill(pid, SIGSTOP) != 0)
            break;
        int stopped = 0;
        if (waitpid(pid, &stopped, WUNTRACED) != pid || !WIFSTOPPED(stopped))
            break; // it ended before it could be stopped: checked below
        std::error_code ec;
        auto it = fs::directory_iterator(folder, ec);
        if (!ec && std::distance(it, fs::directory_iterator()) >= 3) {
            kill(pid, SIGINT);
            signalled = true;
        }
        kill(pid, SIGCONT);
        if (!signalled)
            usleep(2000);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    const Bytes logBytes = cartscope::fixture::readFile(log);
    const std::string text(logBytes.begin(), logBytes.end());
    if (!signalled) {
        // Finished before this process got to run (a very loaded machine): the whole run must
        // then be complete, and the interrupt could not be checked.
        EXPECT_EQ(WEXITSTATUS(status), 0) << text;
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3000);
        GTEST_SKIP() << "the run ended before it could be interrupted";
    }
    EXPECT_EQ(WEXITSTATUS(status), 130) << text;
    EXPECT_NE(text.find("Cancelled after "), std::string::npos) << text;
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        ++files;
        EXPECT_EQ(fs::file_size(e.path()), kRange) << e.path(); // never a half file
    }
    EXPECT_GE(files, 3u);
    EXPECT_LT(files, 3000u);
}

TEST_F(Hostile, BannersAtZeroPastTheEndAndAtTheTopOfTheAddressSpace)
{
    for (std::uint32_t at : {0u, 0x7FFFu, 0x10000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(at);
        const auto path = image(ImageBuilder().poke32(0x68, at).build());
        const auto r = cli({"info", "--json", path});
        EXPECT_EQ(r.status, 0) << r.err;
        const auto icon = cli({"icon", path, m_dir.file("icon")});
        EXPECT_EQ(icon.status, 0) << icon.err;
    }
}

TEST_F(Hostile, TinyAndBoundaryFileSizes)
{
    for (std::size_t size : {std::size_t{1}, std::size_t{0x7FFF}}) {
        const auto r = cli({"info", image(Bytes(size, 0x55))});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Stream read error.\n");
    }
    // An empty file is not a short read, and not a failing disk either.
    const auto empty = cli({"info", image(Bytes())});
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "The image \"" + m_dir.file("x.nds") + "\" is empty (0 bytes)\n");
    EXPECT_EQ(cli({"info", image(Bytes(0x8000, 0x55))}).status, 0);
}

TEST_F(Hostile, ArchivesWithTraversalLinksEncryptionTruncationBombsAndDuplicates)
{
    using namespace cartscope::testzip;
    const Bytes img = ImageBuilder().title("ZIPPED").build();
    auto run = [&](const Bytes& zip) {
        const auto path = image(zip, "a.zip");
        return cli({"info", path});
    };
    // Traversal names: read from the private copy, nothing written next to the archive.
    for (const char* name : {"../../evil.nds", "..\\..\\evil.nds", "/abs/evil.nds"}) {
        const auto r = run(buildZip({Entry::file(name, img)}));
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_NE(r.out.find("Internal Name   : ZIPPED"), std::string::npos);
    }
    // A symbolic link named like an image is not an image.
    auto r = run(buildZip({Entry::symlink("link.nds", "/etc/passwd")}));
    EXPECT_EQ(r.status, 1);
    // Encrypted, truncated: nothing to show, a clear message.
    r = run(buildZip({Entry::file("game.nds", img)}, Options{true, false, "secret"}));
    EXPECT_EQ(r.status, 1);
    Bytes cut = buildZip({Entry::file("game.nds", img)});
    cut.resize(cut.size() / 2);
    r = run(cut);
    EXPECT_EQ(r.status, 1);
    // Declared size smaller than the real data (a bomb in disguise).
    Bytes bomb = buildZip({Entry::file("game.nds", Bytes(1 << 20, 0))});
    patchDeclaredSize(bomb, 0, 0x8000);
    r = run(bomb);
    EXPECT_EQ(r.status, 1);
    // Duplicates: the first one is read.
    r = run(buildZip({Entry::file("game.nds", img),
                      Entry::file("game.nds", ImageBuilder().title("SECOND").build())}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("ZIPPED"), std::string::npos);
    // Zip64.
    r = run(buildZip({Entry::file("game.nds", img)}, Options{true, true, ""}));
    EXPECT_EQ(r.status, 0) << r.err;
    // No private copy is left in the cache after any of them.
    expectNothingOutsideOut({"x.nds", "a.zip"});
}

// Texts from an image reach the terminal escaped in every message, errors included: a failed
// create names the full path, whose folder is the (cleaned) internal name, and cleaning keeps
// bytes from 0x80 on.
TEST_F(Hostile, ErrorMessagesEscapeTextsFromTheImage)
{
    const std::string title = "T\x9B"
                              "2J\xC2\x9B";
    const auto path = image(ImageBuilder().title(title).root({Node::file("f", "x")}).build());
    fs::create_directories(out());
    cartscope::fixture::writeFile(out() + "/" + title, Bytes{1}); // a file where the folder goes
    const auto r = cli({"extract", path, out()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot create file \""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("T\\x9B2J\\u{009B}"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x9B'), std::string::npos) << r.err;
}

// Whatever an image holds (invalid UTF-8, control characters, quotes, lone surrogates in the
// titles), --json prints one document that a strict parser accepts.
TEST_F(Hostile, JsonStaysValidForEveryText)
{
    auto banner = cartscope::fixture::sampleBanner();
    banner.titles = {std::u16string(1, char16_t(0xD800)) + u"x",
                     std::u16string(1, char16_t(0xDC00)),
                     u"\"\\\x01\x1b\x7f\x85",
                     std::u16string(1, char16_t(0xDBFF)),
                     u"ok",
                     std::u16string(128, char16_t(0xD83D))};
    const auto path =
        image(ImageBuilder()
                  .title("\xFF\"\\\x01\xC0\x80")
                  .gameCode("\xED\xA0\x80")
                  .makerCode("\x9B\x1B")
                  .banner(banner)
                  .root({Node::file("\xFE\xFF\"\x1b\\", "1"),
                         Node::dir("\xC3\x28", {Node::file("\xF4\x90\x80\x80", "2")})})
                  .build());
    if (std::system("python3 -c 'import json' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3 is missing";
    for (const char* command : {"info", "list"}) {
        SCOPED_TRACE(command);
        const auto r = cli({command, "--json", path});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string json = m_dir.file("out.json");
        std::ofstream(json, std::ios::binary) << r.out;
        // Strict: the bytes must be UTF-8 and the document JSON.
        EXPECT_EQ(std::system(("python3 -c 'import json,sys; "
                               "json.loads(open(sys.argv[1],\"rb\").read().decode(\"utf-8\"))' " +
                               json)
                                  .c_str()),
                  0)
            << r.out;
    }
}

// The progress line cuts a long path to its end without splitting a UTF-8 character.
TEST_F(Hostile, ProgressLineNeverSplitsACharacter)
{
    std::string name;
    for (int i = 0; i < 40; ++i)
        name += "\xC3\xA9"; // é
    const auto path = image(ImageBuilder().root({Node::file("a" + name, "1")}).build());
    std::ostringstream o, e;
    ASSERT_EQ(cartscope::cli::run({"extract", path, out()}, o, e, true), 0) << e.str();
    const std::string err = e.str();
    std::size_t cuts = 0;
    for (std::size_t at = 0; (at = err.find("...", at)) != std::string::npos; at += 3, ++cuts)
        EXPECT_NE(static_cast<unsigned char>(err[at + 3]) & 0xC0, 0x80u) << err;
    EXPECT_GT(cuts, 0u) << err; // the path was long enough to be cut
}

// "cartscope-cli list game.zip | head -1": the reader goes away while the list is written. The
// program must still remove its private copy of the image instead of dying of SIGPIPE with the
// copy left in the cache.
TEST_F(Hostile, AClosedOutputPipeLeavesNoArchiveCopy)
{
    using namespace cartscope::testzip;
    std::vector<Node> files;
    for (int i = 0; i < 2000; ++i)
        files.push_back(Node::file("file-with-a-longish-name-" + std::to_string(i), "x"));
    // A data descriptor that disagrees with the central record: the member is left to libarchive
    // (decoded into memory, or copied out when memory is short).
    Bytes bytes = buildZip({Entry::file("game.nds", ImageBuilder().root(files).build())});
    spoilDescriptor(bytes, 0);
    const auto zip = image(bytes, "game.zip");
    const std::string binary = CARTSCOPE_BINARY_DIR "/cli/cartscope-cli";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(binary.c_str(), binary.c_str(), "list", zip.c_str(), static_cast<char*>(nullptr));
        _exit(98);
    }
    close(fds[1]);
    char first = 0;
    EXPECT_EQ(read(fds[0], &first, 1), 1);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    const std::string temp = m_dir.file("cache/cartscope/Temp");
    std::size_t left = 0;
    if (!fs::exists(temp))
        return; // no copy was needed
    for (const auto& e : fs::directory_iterator(temp)) {
        ADD_FAILURE() << "left behind: " << e.path();
        ++left;
    }
    EXPECT_EQ(left, 0u);
}

} // namespace
