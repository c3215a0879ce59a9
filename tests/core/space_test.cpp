#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/units.h"
#include "core/extract/extract.h"
#include "core/extract/space.h"
#include "tests/core/scoped_locale.h"
#include "tests/fixture/image_builder.h"

namespace {

using cartscope::core::humanBytes;

TEST(HumanBytes, UnitsChangeAtEachPowerOf1024)
{
    EXPECT_EQ(humanBytes(0), "0 bytes");
    EXPECT_EQ(humanBytes(1023), "1023 bytes");
    EXPECT_EQ(humanBytes(1024), "1.0 KiB");
    EXPECT_EQ(humanBytes(1536), "1.5 KiB");
    EXPECT_EQ(humanBytes((1u << 20) - 1), "1024.0 KiB"); // rounds up, stays in its unit
    EXPECT_EQ(humanBytes(300u << 20), "300.0 MiB");
    EXPECT_EQ(humanBytes(1288490189), "1.2 GiB");
    EXPECT_EQ(humanBytes(UINT64_MAX), "17179869184.0 GiB");
}

// The window runs under the user's locale and the command line under "C"; both print one text.
TEST(HumanBytes, IgnoresTheLocale)
{
    const cartscope::testlocale::ScopedLocale german("de_DE.UTF-8");
    if (!german.ok())
        GTEST_SKIP() << "no de_DE.UTF-8 locale here";
    EXPECT_EQ(humanBytes(1536), "1.5 KiB");
    EXPECT_EQ(humanBytes(1288490189), "1.2 GiB");
}

TEST(Space, NeededRoomCountsOnlyPositiveSizes)
{
    const std::vector<cartscope::core::FileRow> rows = {{"/a", 0x00001000, 3000000000},
                                                        {"/b", 0x00001000, 0},
                                                        {"/c", 0x00001000, -5},
                                                        {"/d", 0x00001000, 2147483647}};
    const auto plan = cartscope::core::planExtraction("/nowhere", "GAME", rows);
    const auto needs = cartscope::core::neededRoom(plan, std::uint64_t{1} << 40, 1);
    EXPECT_EQ(needs.bytes, 3000000000ull + 2147483647ull);
    EXPECT_EQ(needs.inodes, 4u + 1u); // four files and the internal-name folder
    EXPECT_EQ(cartscope::core::neededRoom({}, 0, 1).bytes, 0u);
}

TEST(Space, FreeBytesOfAFolderAndOfNothing)
{
    cartscope::fixture::TempDir dir;
    EXPECT_TRUE(cartscope::core::freeBytes(dir.path()).has_value());
    EXPECT_FALSE(cartscope::core::freeBytes(dir.file("missing")).has_value());
}

TEST(Space, ShortfallText)
{
    EXPECT_EQ(cartscope::core::notEnoughSpaceText(1288490189, 300u << 20, "/mnt/usb"),
              "The files to extract need 1.2 GiB but only 300.0 MiB is free in \"/mnt/usb\"");
}

// Only what can be written counts: rows inside the image, in whole blocks, one inode per file
// and per folder.
TEST(Space, NeedsCountRowsInsideTheImageInBlocksAndInodes)
{
    using cartscope::core::neededRoom;
    const std::vector<cartscope::core::FileRow> rows = {
        {"/a/x", 0x00000000, 1},           // one block
        {"/a/y", 0x00000010, 4096},        // exactly one
        {"/a/b/z", 0x00000000, 4097},      // two
        {"/e", 0x00000000, 0},             // no block, one inode
        {"/a/w", 0x00000000, 1},           // one block, in a folder met before
        {"/past", 0x00100000, 2147483647}, // past the end of a 300 KB image: not written
        {"/neg", 0x00000000, -3},          // empty file
    };
    const auto plan = cartscope::core::planExtraction("/nowhere", "GAME", rows);
    const std::uint64_t image = 300000;
    auto n = neededRoom(plan, image, 4096);
    EXPECT_EQ(n.bytes, 5u * 4096);
    EXPECT_EQ(n.inodes, 6u + 3); // files; folders GAME, GAME/a, GAME/a/b
    n = neededRoom(plan, image, 1);
    EXPECT_EQ(n.bytes, 1u + 4096 + 4097 + 1);
    EXPECT_EQ(neededRoom(plan, image, 0).bytes, n.bytes); // an unknown block size counts bytes
    EXPECT_EQ(neededRoom({}, image, 4096).inodes, 0u);
}

TEST(Space, ShortOfBytesOrOfInodes)
{
    using cartscope::core::Needs;
    using cartscope::core::Room;
    using cartscope::core::shortOfRoom;
    const Needs needs{3005u * 4096, 3006};
    // Room for the bytes, not for the files: the check says so before anything is written.
    EXPECT_EQ(shortOfRoom(needs, Room{1u << 30, 4096, 258}, "/mnt/t"),
              "The files to extract need 3006 files and folders but only 258 more can be made in "
              "\"/mnt/t\"");
    // A file system without an inode count (FAT, exFAT, btrfs) sets no limit there.
    EXPECT_EQ(shortOfRoom(needs, Room{1u << 30, 4096, std::nullopt}, "/mnt/t"), std::nullopt);
    EXPECT_EQ(shortOfRoom(needs, Room{3005u * 4096, 4096, 3006}, "/mnt/t"), std::nullopt);
    EXPECT_EQ(shortOfRoom(needs, Room{3005u * 4096 - 1, 4096, 3006}, "/mnt/t"),
              cartscope::core::notEnoughSpaceText(3005u * 4096, 3005u * 4096 - 1, "/mnt/t"));
}

TEST(Space, RoomOfAFolder)
{
    cartscope::fixture::TempDir dir;
    const auto room = cartscope::core::roomAt(dir.path());
    ASSERT_TRUE(room.has_value());
    EXPECT_GE(room->blockSize, 512u);
    EXPECT_EQ(cartscope::core::freeBytes(dir.path()), room->freeBytes);
    EXPECT_FALSE(cartscope::core::roomAt(dir.file("missing")).has_value());
}

} // namespace
