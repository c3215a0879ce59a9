#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/base/fd.h"
#include "core/base/paths.h"
#include "core/io/open_below.h"
#include "tests/core/scoped_locale.h"
#include "tests/fixture/image_builder.h"

namespace cartscope::core {
namespace {

TEST(ReplaceExtension, ReplacesFromTheLastDotOfTheLastComponent)
{
    EXPECT_EQ(replaceExtension("roms/x.nds", ".png"), "roms/x.png");
    EXPECT_EQ(replaceExtension("game.png", "-Trans.png"), "game-Trans.png");
    EXPECT_EQ(replaceExtension("game", "-NoTrans.png"), "game-NoTrans.png");
    EXPECT_EQ(replaceExtension("a.b/game", ".png"), "a.b/game.png");
    EXPECT_EQ(replaceExtension("/x/a.b/game.tar.gz", ".png"), "/x/a.b/game.tar.png");
    EXPECT_EQ(replaceExtension("game.", ".png"), "game.png");
    EXPECT_EQ(replaceExtension("dir/.hidden", ".png"), "dir/.png");
    EXPECT_EQ(replaceExtension("a.b/", ".png"), "a.b/.png");
    EXPECT_EQ(replaceExtension("", ".png"), ".png");
}

TEST(ExtensionOf, IsEmptyWithoutADotInTheName)
{
    EXPECT_EQ(extensionOf("roms/x.NDS"), ".NDS");
    EXPECT_EQ(extensionOf("a.b/game"), "");
    EXPECT_EQ(extensionOf("game.tar.gz"), ".gz");
    EXPECT_EQ(namePart("/x/a.b/game.zip"), "game.zip");
    EXPECT_EQ(namePart("game"), "game");
}

TEST(EqualsIgnoreCase, ComparesAsciiLettersWithoutCase)
{
    EXPECT_TRUE(equalsIgnoreCase(".NdS", ".nds"));
    EXPECT_FALSE(equalsIgnoreCase(".nds", ".ids"));
    EXPECT_FALSE(equalsIgnoreCase(".nds", ".nds "));
}

// The extension tests must not follow the user's locale: under Turkish rules the lower case of
// "I" is a dotless i, which would make a dropped GAME.IDS (or such an archive member) no image.
TEST(EqualsIgnoreCase, IgnoresTheLocale)
{
    const testlocale::ScopedLocale turkish("tr_TR.UTF-8");
    if (!turkish.ok())
        GTEST_SKIP() << "no tr_TR.UTF-8 locale here";
    EXPECT_TRUE(equalsIgnoreCase(".IDS", ".ids"));
    EXPECT_TRUE(equalsIgnoreCase(".ids", ".IDS"));
    EXPECT_TRUE(equalsIgnoreCase(".ZIP", ".zip"));
    EXPECT_FALSE(equalsIgnoreCase("\xC9", "\xE9")); // no case for bytes past ASCII
}

// A file or folder found by a folder walk and replaced by a link before it is read: refused,
// whichever component the link took the place of; the root the user gave is followed.
// A folder's listing: every entry but "." and "..", with its type, as often as it is asked for
// through one descriptor (each listing reads through a descriptor of its own).
TEST(FolderEntries, ListsEveryEntryWithItsTypeAgainAndAgain)
{
    fixture::TempDir dir;
    std::filesystem::create_directories(dir.file("f/sub"));
    fixture::writeFile(dir.file("f/a.bin"), fixture::Bytes{1});
    std::filesystem::create_symlink("a.bin", dir.file("f/link"));
    const UniqueFd fd(::open(dir.file("f").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    for (int round = 0; round < 2; ++round) {
        std::vector<FolderEntry> entries;
        ASSERT_TRUE(folderEntries(fd.get(), entries));
        std::map<std::string, unsigned char> byName;
        for (const FolderEntry& e : entries)
            byName[e.name] = e.type;
        EXPECT_EQ(byName.size(), 3u) << "round " << round;
        for (const auto& [name, type] : std::map<std::string, unsigned char>{
                 {"a.bin", DT_REG}, {"sub", DT_DIR}, {"link", DT_LNK}})
            EXPECT_TRUE(byName.count(name) && (byName[name] == type || byName[name] == DT_UNKNOWN))
                << name;
    }
    std::vector<FolderEntry> none;
    EXPECT_FALSE(folderEntries(-1, none));
}

TEST(OpenBelow, NothingBelowTheRootIsReachedThroughALink)
{
    fixture::TempDir dir;
    std::filesystem::create_directories(dir.file("roms/sub"));
    std::filesystem::create_directories(dir.file("elsewhere"));
    fixture::writeFile(dir.file("roms/sub/game.nds"), fixture::Bytes{'o', 'k'});
    fixture::writeFile(dir.file("elsewhere/game.nds"), fixture::Bytes{'n', 'o'});
    std::filesystem::create_directory_symlink(dir.file("roms"), dir.file("chosen"));
    const auto read = [](const UniqueFd& fd) {
        char bytes[2] = {};
        return ::pread(fd.get(), bytes, 2, 0) == 2 ? std::string(bytes, 2) : std::string();
    };
    EXPECT_EQ(read(openBelow(dir.file("roms"), "sub/game.nds")), "ok");
    EXPECT_EQ(read(openBelow(dir.file("chosen/"), "sub/game.nds")), "ok");

    const auto errorOf = [&](const std::string& root, const std::string& relative) {
        try {
            openBelow(root, relative);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("opened");
    };
    const std::string replaced = "\". It was replaced by a symbolic link";
    // The file itself.
    std::filesystem::rename(dir.file("roms/sub/game.nds"), dir.file("roms/sub/kept.nds"));
    std::filesystem::create_symlink(dir.file("elsewhere/game.nds"), dir.file("roms/sub/game.nds"));
    EXPECT_EQ(errorOf(dir.file("roms"), "sub/game.nds"),
              "Cannot open file \"" + dir.file("roms/sub/game.nds") + replaced);
    // A folder on the way.
    std::filesystem::rename(dir.file("roms/sub"), dir.file("roms/old"));
    std::filesystem::create_directory_symlink(dir.file("elsewhere"), dir.file("roms/sub"));
    EXPECT_EQ(errorOf(dir.file("roms/"), "sub/game.nds"),
              "Cannot open file \"" + dir.file("roms/sub/game.nds") + replaced);
    // Gone: the system's reason.
    EXPECT_EQ(errorOf(dir.file("roms"), "old/gone.nds"), "Cannot open file \"" +
                                                             dir.file("roms/old/gone.nds") +
                                                             "\". No such file or directory");
}

} // namespace
} // namespace cartscope::core
