#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/image/header_record.h"
#include "core/rebuild/layout.h"
#include "core/rebuild/signed_regions.h"

// The one edit engine behind a tree build and a replace: from the image's regions and the new
// size of each region that holds new bytes, where every region goes, which old bytes nothing
// keeps any more (filled like the image's gaps), and the header, allocation table and banner
// CRC-16s that follow. Only decisions and small tables here: the callers move the bytes.
namespace cartscope::core::rebuild {

struct EditRegion {
    RegionKind kind = RegionKind::File;
    std::uint32_t id = 0; // File and Overlay: the allocation entry's index
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // Set: the region holds new bytes, this many.
    std::optional<std::uint64_t> newSize;
};

struct Placement {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    bool moved = false;
};

struct EditPlan {
    std::vector<Placement> placed; // one for each region, in the regions' order
    std::vector<ByteRange> freed;  // in offset order, apart: bytes to fill like the gaps
    std::uint64_t imageSize = 0;
    std::uint64_t usedEnd = 0;   // the used area's end after the edit
    std::uint64_t alignment = 1; // what a moved file's start is a multiple of
    bool usedSizeExact = false;  // the header's used size becomes usedEnd (else only grows)
};

// The largest power of two, at most 0x200, that divides every file's start.
std::uint64_t fileAlignment(std::span<const EditRegion> regions);

// Where everything goes. A region with new bytes stays where it is while they fit before the
// next used byte and it shares no byte with another region; otherwise it moves to the end of the
// used area (never below `usedSize`, the header's used size), aligned like the files. With
// `compact` the header and the ARM9 binary stay and everything else is laid out again in its
// old order, each range once. Throws the user's message when the header would change size or
// the image would pass 4 GiB.
EditPlan planEdits(std::span<const EditRegion> regions, std::uint64_t imageSize,
                   std::uint64_t usedSize, bool compact);

// A Download Play signature block that lay right after the old used size (`oldAt`) goes right
// after the new one (`newAt`): the image grows to hold it where it must, and its old bytes that
// no region now holds join the freed ones. Returns whether it moves; the caller then writes its
// bytes at `newAt` after the freed bytes.
bool moveDownloadPlayBlock(EditPlan& plan, std::uint64_t oldAt, std::uint64_t newAt);

// The header block (as read, or as the user edited it) with the offsets and sizes of every
// region that moved or changed size, the used size, the capacity when the image outgrew it,
// and the header CRC-16 recomputed when any byte differs from `original`.
std::vector<std::uint8_t> followHeader(std::span<const std::uint8_t> original,
                                       std::span<const std::uint8_t> edited,
                                       std::span<const EditRegion> regions, const EditPlan& plan);

// The allocation entries of the files and overlays that moved or changed size, set in `fat`.
// Returns whether a byte changed; throws the user's message for an entry past the table.
bool followAllocation(std::vector<std::uint8_t>& fat, std::span<const EditRegion> regions,
                      const EditPlan& plan);

// Sets every banner CRC-16 whose range the bytes hold to the value they give.
void setBannerCrcs(std::vector<std::uint8_t>& banner);

// The byte ranges where two blocks differ (a block longer than the other differs past it).
std::vector<ByteRange> differences(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                                   std::uint64_t at);

// The old and new ranges of every region with new bytes, and the freed ones: what the
// signature check looks at besides the tables.
std::vector<ByteRange> changedRanges(std::span<const EditRegion> regions, const EditPlan& plan);

// The warning for a change under the DSi header's signatures, or nothing.
std::optional<std::string> signedRegionWarning(std::span<const std::uint8_t> header,
                                               std::uint64_t imageSize,
                                               std::span<const ByteRange> changed);

} // namespace cartscope::core::rebuild
