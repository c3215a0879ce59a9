#pragma once

#include <cstdint>
#include <optional>

#include "core/io/stream.h"
#include "core/rebuild/output_file.h"
#include "core/verify/trim.h"

// Cutting an image at its used size, and restoring the cut padding.
namespace cartscope::core {

// The largest image written: no DS or DSi card is larger, and the header's fields are 32-bit.
inline constexpr std::uint64_t kMaxWrittenImageSize = std::uint64_t{1} << 32;

struct TrimPlan {
    std::uint64_t fileSize = 0;
    // Where the cut is: the used size (the DSi used size for a DSi image that fills it in), with
    // the Download Play signature block when one follows, as the trim analysis defines it.
    std::uint64_t usedSize = 0;
    bool downloadPlayBlock = false;
    // The one value of the bytes cut, when they are all 0xFF or all 0x00.
    std::optional<std::uint8_t> padding;
    // Otherwise the first offset among them that holds data.
    std::optional<std::uint64_t> firstData;
};

// Reads the header and the bytes after the used size (once). Throws when the file is not a DS
// image, when its used size is smaller than a header, or when the file is shorter than its
// used size (a trimmed copy would be the same file, or an over-trimmed one nothing can mend).
TrimPlan planTrim(const Stream& image);

// The same in two steps, for a caller that copies while the bytes cut are read: the cut as the
// header tells it (with the refusals planTrim makes from it; no padding known yet), then the
// used bytes written into `out` while the bytes cut are read on a thread of their own (the two
// reads take about as long), which completes the plan. A plan whose cut bytes hold data
// (firstData) has been copied all the same: a caller that refuses it drops `out`, which is never
// committed.
struct TrimCut {
    TrimHeadAnalysis head;
    TrimPlan plan;
};
TrimCut planTrimCut(const Stream& image);
TrimPlan trimInto(const Stream& image, TrimCut cut, OutputFile& out,
                  const Checkpoint& checkpoint = {});

// The first `usedSize` bytes to `out` (not committed).
void writeTrimmed(const Stream& image, const TrimPlan& plan, OutputFile& out,
                  const Checkpoint& checkpoint = {});

enum class PadSize { Chip, PowerOfTwo };

// The size a padded copy of the image is given: its chip size (from the capacity byte) or the
// next power of two. Throws when the capacity byte names no chip.
std::uint64_t padTargetSize(const Stream& image, PadSize rule);

// The image followed by `size - image.size()` bytes of `fill`, to `out` (not committed). Throws
// when `size` is smaller than the image or past kMaxWrittenImageSize.
void writePadded(const Stream& image, std::uint64_t size, std::uint8_t fill, OutputFile& out,
                 const Checkpoint& checkpoint = {});

} // namespace cartscope::core
