// Where edited regions go: grown files to the aligned end of the used area, shrunk ones in
// place with their freed tail, shared ranges split off, and a compact layout.
#include <gtest/gtest.h>

#include "core/base/error.h"
#include "core/rebuild/edit_plan.h"
#include "core/rebuild/shared_ranges.h"

namespace cartscope {
namespace {

using core::ByteRange;
using core::rebuild::EditRegion;
using core::rebuild::planEdits;
using core::rebuild::RegionKind;

// Header, then three files at 0x8000, 0x8200 and 0x8400 (the second shared by a fourth).
std::vector<EditRegion> regions()
{
    return {
        {RegionKind::Header, 0, 0, 0x200, {}},    {RegionKind::File, 0, 0x8000, 0x180, {}},
        {RegionKind::File, 1, 0x8200, 0x100, {}}, {RegionKind::File, 2, 0x8400, 0x100, {}},
        {RegionKind::File, 3, 0x8200, 0x100, {}},
    };
}

using Span = std::pair<std::uint64_t, std::uint64_t>;

std::vector<Span> spans(const std::vector<ByteRange>& ranges)
{
    std::vector<Span> out;
    for (const ByteRange& r : ranges)
        out.emplace_back(r.offset, r.size);
    return out;
}

TEST(EditPlan, PlacesEditedRegionsAndFreesWhatNothingKeeps)
{
    struct Case {
        const char* name;
        std::size_t edited;
        std::uint64_t newSize;
        std::uint64_t imageSize;
        std::uint64_t at;        // where the edited region goes
        std::vector<Span> freed; // filled like the gaps
        std::uint64_t newImageSize;
    };
    const Case cases[] = {
        {"shrinks in place", 1, 0x80, 0x8500, 0x8000, {{0x8080, 0x100}}, 0x8500},
        {"grows within its slot", 1, 0x200, 0x8500, 0x8000, {}, 0x8500},
        {"outgrows its slot: to the aligned end",
         1,
         0x201,
         0x8500,
         0x8600,
         {{0x8000, 0x180}, {0x8500, 0x100}},
         0x8801},
        {"the last file grows in place", 3, 0x300, 0x8500, 0x8400, {}, 0x8700},
        {"a padded image keeps its size and padding",
         1,
         0x201,
         0x10000,
         0x8600,
         {{0x8000, 0x180}},
         0x10000},
        {"a shared range is split off", 2, 0x10, 0x8500, 0x8600, {{0x8500, 0x100}}, 0x8610},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<EditRegion> r = regions();
        r[c.edited].newSize = c.newSize;
        const auto plan = planEdits(r, c.imageSize, 0, false);
        EXPECT_EQ(plan.placed[c.edited].offset, c.at);
        EXPECT_EQ(plan.placed[c.edited].size, c.newSize);
        EXPECT_EQ(spans(plan.freed), c.freed);
        EXPECT_EQ(plan.imageSize, c.newImageSize);
        EXPECT_EQ(plan.alignment, 0x200u);
        // Nothing else moves.
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (i != c.edited) {
                EXPECT_EQ(plan.placed[i].offset, r[i].offset) << i;
            }
        }
    }
}

TEST(EditPlan, MovedFilesFollowTheUsedSizeAndTheFilesAlignment)
{
    std::vector<EditRegion> r = {{RegionKind::Header, 0, 0, 0x200, {}},
                                 {RegionKind::File, 0, 0x8010, 0x10, {0x40}},
                                 {RegionKind::File, 1, 0x8020, 0x10, {}}};
    // File starts 0x8010 and 0x8020: aligned to 0x10; never below the header's used size.
    const auto plan = planEdits(r, 0x9000, 0x8F01, false);
    EXPECT_EQ(plan.alignment, 0x10u);
    EXPECT_EQ(plan.placed[1].offset, 0x8F10u);
    EXPECT_EQ(plan.usedEnd, 0x8F50u);
}

TEST(EditPlan, CompactLaysEverythingOutAgainOnce)
{
    std::vector<EditRegion> r = regions();
    r.push_back({RegionKind::Arm9, 0, 0x4000, 0x1000, {}});
    r[1].newSize = 0x10;
    const auto plan = planEdits(r, 0x8500, 0, true);
    EXPECT_EQ(plan.placed[5].offset, 0x4000u); // the ARM9 stays
    EXPECT_EQ(plan.placed[1].offset, 0x8000u);
    EXPECT_EQ(plan.placed[2].offset, 0x8200u);
    EXPECT_EQ(plan.placed[4].offset, 0x8200u); // the shared range stays shared
    EXPECT_EQ(plan.placed[3].offset, 0x8400u);
    EXPECT_EQ(plan.imageSize, 0x8500u);
    EXPECT_TRUE(plan.usedSizeExact);
}

// The Download Play block after the used size follows it: its old bytes that no region now
// holds are freed, and the image grows to hold it at its new place.
TEST(EditPlan, TheDownloadPlayBlockFollowsTheUsedSize)
{
    struct Case {
        const char* name;
        std::uint64_t imageSize;
        std::uint64_t newSize; // of file 2 (0x8400, 0x100)
        std::uint64_t oldAt, newAt;
        bool moves;
        std::vector<Span> freed;
        std::uint64_t newImageSize;
    };
    const Case cases[] = {
        {"unmoved", 0x8588, 0x80, 0x8500, 0x8500, false, {{0x8480, 0x80}}, 0x8588},
        // The grown file takes most of the block's old place; the image grows past the new one.
        {"a trimmed image grows", 0x8588, 0x180, 0x8500, 0x8580, true, {{0x8580, 0x88}}, 0x8608},
        {"a padded image keeps its size",
         0x10000,
         0x80,
         0x8500,
         0x9000,
         true,
         {{0x8480, 0x108}},
         0x10000},
        {"the block moves down", 0x8588, 0x80, 0x8500, 0x8480, true, {{0x8480, 0x108}}, 0x8588},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<EditRegion> r = regions();
        r[3].newSize = c.newSize;
        auto plan = planEdits(r, c.imageSize, 0, false);
        EXPECT_EQ(core::rebuild::moveDownloadPlayBlock(plan, c.oldAt, c.newAt), c.moves);
        EXPECT_EQ(spans(plan.freed), c.freed);
        EXPECT_EQ(plan.imageSize, c.newImageSize);
    }
}

TEST(EditPlan, RefusesAHeaderOfAnotherSize)
{
    std::vector<EditRegion> r = regions();
    r[0].newSize = 0x1000;
    EXPECT_THROW(planEdits(r, 0x8500, 0, false), core::Error);
}

// Which ranges share a byte: touching ranges do not, empty ranges never, and every range that
// overlaps another is found whatever their order.
TEST(SharedRanges, MarksEveryRangeThatSharesAByte)
{
    struct Case {
        const char* name;
        std::vector<ByteRange> ranges;
        std::vector<bool> shared;
    };
    const Case cases[] = {
        {"apart", {{0, 0x10}, {0x20, 0x10}}, {false, false}},
        {"touching", {{0, 0x10}, {0x10, 0x10}}, {false, false}},
        {"one byte in common", {{0x10, 0x10}, {0, 0x11}}, {true, true}},
        {"identical", {{0x40, 8}, {0x40, 8}, {0x80, 8}}, {true, true, false}},
        {"nested, behind a long one",
         {{0, 0x100}, {0x10, 8}, {0x20, 8}, {0x100, 4}},
         {true, true, true, false}},
        {"empty inside another", {{0, 0x100}, {0x10, 0}}, {false, false}},
        {"a chain out of order", {{0x30, 0x20}, {0, 0x20}, {0x18, 0x20}}, {true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(core::rebuild::sharedRanges(c.ranges), c.shared);
    }
}

} // namespace
} // namespace cartscope
