#include <gtest/gtest.h>

#include "core/paths.h"
#include "tests/core/scoped_locale.h"

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

} // namespace
} // namespace cartscope::core
