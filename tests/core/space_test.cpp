#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/extract.h"
#include "core/space.h"
#include "core/units.h"
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

TEST(Space, PlannedBytesCountsOnlyPositiveSizes)
{
    const std::vector<cartscope::core::FileRow> rows = {{"/a", "00001000", "3000000000"},
                                                        {"/b", "00001000", "0"},
                                                        {"/c", "00001000", "-5"},
                                                        {"/d", "00001000", "2147483647"}};
    const auto plan = cartscope::core::planExtraction("/nowhere", "GAME", rows);
    EXPECT_EQ(cartscope::core::plannedBytes(plan), 3000000000ull + 2147483647ull);
    EXPECT_EQ(cartscope::core::plannedBytes({}), 0u);
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

} // namespace
