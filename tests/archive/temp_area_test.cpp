#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "archive/temp_area.h"
#include "archive/zip_input.h"
#include "core/base/error.h"
#include "tests/archive/zip_builder.h"
#include "tests/fixture/image_builder.h"

namespace {

namespace fs = std::filesystem;
using cartscope::archive::ExtractEvents;
using cartscope::archive::extractFirstImage;
using cartscope::archive::extractionBase;
using cartscope::archive::TempImage;
using cartscope::fixture::Bytes;
using cartscope::fixture::readFile;
using namespace cartscope::testzip;

unsigned modeOf(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Every file below `root`, as paths relative to it.
std::vector<std::string> filesBelow(const std::string& root)
{
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (!e.is_directory())
            out.push_back(fs::relative(e.path(), root).string());
    return out;
}

bool isEmptyFolder(const std::string& path)
{
    return fs::is_directory(path) && fs::is_empty(path);
}

class TempAreaTest : public ::testing::Test {
protected:
    PrivateCache cache;
};

TEST_F(TempAreaTest, BaseIsCreatedPrivateUnderTheCacheFolder)
{
    ::setenv("XDG_CACHE_HOME", (cache.cache() + "/deeper/").c_str(), 1);
    const std::string base = extractionBase();
    EXPECT_EQ(base, cache.cache() + "/deeper/cartscope/Temp");
    for (const std::string& level :
         {cache.cache(), cache.cache() + "/deeper", cache.cache() + "/deeper/cartscope", base})
        EXPECT_EQ(modeOf(level), 0700u) << level;
    EXPECT_EQ(extractionBase(), base); // an existing base is used again

    // A relative XDG_CACHE_HOME is ignored in favour of $HOME/.cache.
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", cache.dir().file("home").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);
    EXPECT_EQ(extractionBase(), cache.dir().file("home") + "/.cache/cartscope/Temp");
    ::setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(TempAreaTest, BaseMustBeARealPrivateFolder)
{
    fs::create_directories(cache.base());
    fs::permissions(cache.base(), fs::perms::all);
    fs::permissions(cache.cache() + "/cartscope", fs::perms::owner_all | fs::perms::group_all);
    extractionBase();
    EXPECT_EQ(modeOf(cache.base()), 0700u);
    EXPECT_EQ(modeOf(cache.cache() + "/cartscope"), 0700u);

    // Another folder planted as Temp by a symbolic link is refused, and nothing lands there.
    fs::remove(cache.base());
    const std::string elsewhere = cache.dir().file("elsewhere");
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(elsewhere, cache.base());
    EXPECT_THROW(extractionBase(), cartscope::core::Error);
    EXPECT_THROW(TempImage(), cartscope::core::Error);
    EXPECT_TRUE(isEmptyFolder(elsewhere));

    fs::remove(cache.base());
    cartscope::fixture::writeFile(cache.base(), Bytes{1});
    EXPECT_THROW(extractionBase(), cartscope::core::Error);
}

TEST_F(TempAreaTest, EachTempImageOwnsItsFolder)
{
    std::string firstFolder;
    {
        TempImage a;
        TempImage b;
        firstFolder = a.folder();
        EXPECT_NE(a.folder(), b.folder());
        EXPECT_EQ(fs::path(a.folder()).parent_path().string(), cache.base());
        EXPECT_EQ(modeOf(a.folder()), 0700u);

        cartscope::fixture::writeFile(a.filePathFor("game.nds"), Bytes{1, 2, 3});
        TempImage moved(std::move(a));
        EXPECT_EQ(moved.folder(), firstFolder);
        EXPECT_TRUE(a.folder().empty());
        EXPECT_TRUE(fs::exists(moved.filePathFor("game.nds")));

        const std::string second = b.folder();
        cartscope::fixture::writeFile(b.filePathFor("x.nds"), Bytes{1});
        b.remove();
        EXPECT_FALSE(fs::exists(second));
        b.remove(); // idempotent
        EXPECT_THROW(b.filePathFor("x.nds"), cartscope::core::Error);
    }
    EXPECT_FALSE(fs::exists(firstFolder));
    EXPECT_TRUE(isEmptyFolder(cache.base()));
}

TEST_F(TempAreaTest, FoldersLeftByAProgramThatIsGoneAreRemovedOthersKept)
{
    const std::string base = extractionBase();
    // A folder whose program crashed: nobody holds it, it is old.
    const std::string crashed = base + "/open-crash1";
    fs::create_directories(crashed);
    cartscope::fixture::writeFile(crashed + "/game.nds", Bytes{1, 2, 3});
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, crashed.c_str(), old, 0), 0);
    // A fresh unlocked folder (another program between mkdtemp and its lock) and a folder that
    // is not ours by name are kept.
    const std::string fresh = base + "/open-fresh1";
    fs::create_directories(fresh);
    const std::string other = base + "/keep-me";
    fs::create_directories(other);
    ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), old, 0), 0);

    TempImage live; // sweeps on creation
    EXPECT_FALSE(fs::exists(crashed));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(other));

    // A live folder, however old, is locked and survives another sweep.
    ASSERT_EQ(::utimensat(AT_FDCWD, live.folder().c_str(), old, 0), 0);
    EXPECT_EQ(cartscope::archive::removeAbandonedFolders(base), 0);
    EXPECT_TRUE(fs::exists(live.folder()));
    TempImage moved(std::move(live)); // the lock moves with the folder
    EXPECT_EQ(cartscope::archive::removeAbandonedFolders(base), 0);
    EXPECT_TRUE(fs::exists(moved.folder()));
    EXPECT_EQ(cartscope::archive::removeAbandonedFolders(base, 0), 1); // only "open-fresh1"
    fs::remove_all(other);
}

// Each program's start sweeps what a killed Cartscope left (a partial copy included), whatever
// it is about to do; it creates nothing when there is no temporary area yet.
TEST_F(TempAreaTest, EveryStartRemovesLeftoversNobodyHolds)
{
    const std::string cacheRoot = std::getenv("XDG_CACHE_HOME");
    EXPECT_TRUE(cartscope::archive::removeLeftovers().empty());
    EXPECT_FALSE(fs::exists(cacheRoot + "/cartscope"));

    const std::string base = extractionBase();
    TempImage live; // made first: its own sweep must not be what removes the leftover below
    const std::string killed = base + "/open-kill9";
    fs::create_directories(killed);
    cartscope::fixture::writeFile(killed + "/game.nds", Bytes(1000, 1)); // a partial copy
    const timespec secondsAgo[2] = {
        {std::time(nullptr) - cartscope::archive::kLeftoverAgeSeconds - 2, 0},
        {std::time(nullptr) - cartscope::archive::kLeftoverAgeSeconds - 2, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, killed.c_str(), secondsAgo, 0), 0);
    const std::string justMade = base + "/open-new";
    fs::create_directories(justMade);
    ASSERT_EQ(::utimensat(AT_FDCWD, live.folder().c_str(), secondsAgo, 0), 0);

    EXPECT_TRUE(cartscope::archive::removeLeftovers().empty());
    EXPECT_FALSE(fs::exists(killed));       // gone a few seconds after, not a minute
    EXPECT_TRUE(fs::exists(justMade));      // another program may be about to lock it
    EXPECT_TRUE(fs::exists(live.folder())); // held
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// Takes every descriptor this process has left (the limit lowered to 64 first, the rest filled
// with /dev/null); false when that could not be done.
bool takeAllDescriptors()
{
    const rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    // Bounded by the limit just set.
    while (::open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    return errno == EMFILE;
}

// Runs `body` in a forked child and returns its exit status (-1 when it did not exit).
int exitStatusInChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> openFolders(const std::string& base)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(base))
        if (e.path().filename().string().rfind("open-", 0) == 0)
            names.push_back(e.path().filename().string());
    return names;
}

// Out of descriptors, a private folder is either never made (the user's message names the
// cause) or, made before they ran out, removed all the same: the lock's descriptor is released
// first and is the one the removal needs.
TEST_F(TempAreaTest, RunningOutOfDescriptorsLeavesNoFolderBehind)
{
    // The sanitizers' own checks open files (/proc/self/maps) and report false faults in a
    // process without descriptors; the plain build runs this test.
    if (kSanitizedBuild)
        GTEST_SKIP() << "no descriptors left for the sanitizer runtime";
    const std::string base = extractionBase();
    const std::string tooMany = std::strerror(EMFILE);
    EXPECT_EQ(exitStatusInChild([&tooMany] {
                  if (!takeAllDescriptors())
                      return 90;
                  try {
                      TempImage refused;
                  } catch (const cartscope::core::Error& e) {
                      return std::string(e.what()).find(tooMany) != std::string::npos ? 0 : 1;
                  }
                  return 2;
              }),
              0);
    EXPECT_TRUE(openFolders(base).empty());

    EXPECT_EQ(exitStatusInChild([] {
                  TempImage held;
                  cartscope::fixture::writeFile(held.filePathFor("game.nds"), Bytes(1000, 1));
                  const std::string folder = held.folder();
                  if (!takeAllDescriptors())
                      return 90;
                  held.remove();
                  return fs::exists(folder) ? 1 : 0;
              }),
              0);
    EXPECT_TRUE(openFolders(base).empty());
}

TEST_F(TempAreaTest, FilePathIsACleanNameDirectlyInTheFolder)
{
    TempImage temp;
    const std::string f = temp.folder() + "/";
    EXPECT_EQ(temp.filePathFor("roms/Game (E).nds"), f + "Game (E).nds");
    EXPECT_EQ(temp.filePathFor("../../evil.nds"), f + "evil.nds");
    EXPECT_EQ(temp.filePathFor("/abs/evil.nds"), f + "evil.nds");
    EXPECT_EQ(temp.filePathFor("..\\..\\evil.nds"), f + ".._.._evil.nds");
    EXPECT_EQ(temp.filePathFor("dir/.."), f + "_..");
    EXPECT_EQ(temp.filePathFor("dir/"), f + "_");
    EXPECT_EQ(temp.filePathFor("bell\a.nds"), f + "bell_.nds");

    // Too long for one file-system component: shortened, extension kept, UTF-8 kept whole.
    std::string longName;
    for (int i = 0; i < 200; ++i)
        longName += "\xC3\xA4";
    const std::string path = temp.filePathFor("dir/" + longName + ".nds");
    const std::string name = fs::path(path).filename().string();
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.substr(name.size() - 4), ".nds");
    EXPECT_EQ((name.size() - 4) % 2, 0u);
    cartscope::fixture::writeFile(path, Bytes{1});
}

class ZipInputTest : public TempAreaTest {
protected:
    std::string zip = cache.dir().file("in.zip");
};

TEST_F(ZipInputTest, FirstImageIsExtractedIntoAPrivateFolder)
{
    const Bytes image = cartscope::fixture::ImageBuilder()
                            .title("FROM ZIP")
                            .root({cartscope::fixture::Node::dir(
                                "d", {cartscope::fixture::Node::file("a.bin", noise(70000))})})
                            .build();
    writeZip(zip, {Entry::file("readme.txt", "x"), Entry::file("sub/Game.nds", image),
                   Entry::file("other.ids", "not me")});
    int ends = 0;
    ExtractEvents events;
    events.onEnd = [&] { ++ends; };
    auto result = extractFirstImage(zip, events);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->memberName, "sub/Game.nds");
    EXPECT_EQ(result->path, result->temp.folder() + "/Game.nds");
    EXPECT_EQ(readFile(result->path), image);
    EXPECT_EQ(ends, 1);

    const std::string folder = result->temp.folder();
    result.reset();
    EXPECT_FALSE(fs::exists(folder));
}

// A member named by a listing is the one taken, whatever the first image is; its index tells
// apart members that share a name, and a stale index still finds the name. The name rule holds:
// a member that is no image is never taken by name. Zip and solid 7z alike.
TEST_F(ZipInputTest, ANamedMemberIsTakenInsteadOfTheFirstImage)
{
    using cartscope::archive::extractImageMember;
    using cartscope::archive::Member;
    const std::vector<Entry> entries = {
        Entry::file("readme.txt", "text"), Entry::file("first.nds", "one"),
        Entry::file("twin.nds", "twin A"), Entry::file("app.dsi", "dsi"),
        Entry::file("twin.nds", "twin B"), Entry::file("dir/deep.ids", "deep"),
    };
    const struct {
        Member wanted;
        const char* bytes; // null: nothing is taken
    } cases[] = {
        {{1, "first.nds", 0}, "one"},    {{5, "dir/deep.ids", 0}, "deep"},
        {{3, "app.dsi", 0}, "dsi"}, // a .dsi member, though .nds members come first
        {{2, "twin.nds", 0}, "twin A"},  {{4, "twin.nds", 0}, "twin B"},
        {{9, "twin.nds", 0}, "twin A"}, // the archive changed: the first of the name
        {{0, "readme.txt", 0}, nullptr}, {{1, "gone.nds", 0}, nullptr},
        {{1, "FIRST.NDS", 0}, nullptr}, // names as stored, letter case included
    };
    const std::string sevenZip = cache.dir().file("in.7z");
    writeZip(zip, entries);
    cartscope::fixture::writeFile(sevenZip, buildSevenZip(entries, "lzma2"));
    for (const std::string& archive : {zip, sevenZip}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(archive + " " + c.wanted.name + " @" + std::to_string(c.wanted.index));
            auto result = extractImageMember(archive, c.wanted, {});
            ASSERT_EQ(result.has_value(), c.bytes != nullptr);
            if (!result)
                continue;
            EXPECT_EQ(result->memberName, c.wanted.name);
            const std::string want = c.bytes;
            EXPECT_EQ(readFile(result->path), Bytes(want.begin(), want.end()));
        }
        // The plain lookup is unchanged: the first .nds/.ids member.
        auto first = extractFirstImage(archive, {});
        ASSERT_TRUE(first);
        EXPECT_EQ(first->memberName, "first.nds");
    }
}

TEST_F(ZipInputTest, TraversalNamesStayInsideThePrivateFolder)
{
    for (const std::string member : {"../../evil.nds", "..\\..\\evil.nds", "/tmp/evil.nds"}) {
        writeZip(zip, {Entry::file(member, "evil")});
        auto result = extractFirstImage(zip, {});
        ASSERT_TRUE(result) << member;
        EXPECT_EQ(fs::path(result->path).parent_path().string(), result->temp.folder());
        EXPECT_EQ(readFile(result->path), Bytes({'e', 'v', 'i', 'l'}));
        // The one file below the test's folder (archive aside) is the copy.
        auto files = filesBelow(cache.dir().path());
        std::erase(files, "in.zip");
        ASSERT_EQ(files.size(), 1u) << member;
        EXPECT_EQ(cache.dir().path() + "/" + files[0], result->path);
    }
}

TEST_F(ZipInputTest, NothingIsLeftWhenThereIsNoImage)
{
    writeZip(zip, {Entry::file("readme.txt", "x")});
    EXPECT_FALSE(extractFirstImage(zip, {}));

    writeZip(zip, {Entry::file("game.nds", noise(10000))}, {true, false, "secret"});
    EXPECT_FALSE(extractFirstImage(zip, {}));
    EXPECT_TRUE(isEmptyFolder(cache.base()));

    // Cancelled from a progress notification, or after the last one.
    writeZip(zip, {Entry::file("game.nds", noise(3 << 20))});
    int ends = 0;
    ExtractEvents events;
    events.onProgress = [](int, int) { return true; };
    events.onEnd = [&] { ++ends; };
    EXPECT_FALSE(extractFirstImage(zip, events));
    EXPECT_EQ(ends, 1);
    EXPECT_TRUE(isEmptyFolder(cache.base()));

    events.onProgress = nullptr;
    events.cancelled = [] { return true; };
    EXPECT_FALSE(extractFirstImage(zip, events));
    EXPECT_TRUE(isEmptyFolder(cache.base()));
}

} // namespace
