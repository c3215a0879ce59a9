#include "core/rebuild/trim_pad.h"

#include <algorithm>
#include <bit>
#include <future>
#include <thread>
#include <vector>

#include "core/base/error.h"
#include "core/base/hex.h"
#include "core/image/header_record.h"
#include "core/image/raw_header.h"
#include "core/verify/trim.h"
#include "core/verify/verdict_text.h"
#include "core/verify/verify.h"

namespace cartscope::core {

namespace {

constexpr std::size_t kScanBlock = std::size_t{1} << 20;
// A used size below this would cut into the DS header itself.
constexpr std::uint64_t kSmallestUsedSize = 0x200;

// The first offset from `from` that holds data: the first byte when it is neither 0xFF nor
// 0x00, else the first byte that differs from it. Only read when the analysis found the bytes
// unclean, so the common case reads them once.
std::uint64_t firstDataAfter(const Stream& image, std::uint64_t from)
{
    std::vector<std::uint8_t> block(kScanBlock);
    std::optional<std::uint8_t> first;
    const std::uint64_t size = image.size();
    // Bounded by the file size: each pass moves on by the bytes read, or stops.
    for (std::uint64_t at = from; at < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kScanBlock, size - at));
        const std::size_t n = image.pread(at, std::span(block).first(want));
        if (n == 0)
            throw Error(kStreamReadError);
        if (!first) {
            first = block[0];
            if (*first != 0xFF && *first != 0x00)
                return at;
        }
        for (std::size_t i = 0; i < n; ++i)
            if (block[i] != *first)
                return at + i;
        at += n;
    }
    // The analysis saw data; a file that changed meanwhile is refused at its start.
    return from;
}

// The cut as the head tells it, before the bytes cut are read: the refusals the head alone
// decides.
TrimPlan cutOf(const TrimAnalysis& analysis)
{
    const TrimInfo& t = analysis.trim;
    if (!analysis.head.image)
        throw Error(notAnImageText(t.fileSize));
    if (analysis.head.usedSize < kSmallestUsedSize)
        throw Error("The header's used size (" + std::to_string(analysis.head.usedSize) +
                    " bytes) is smaller than the header: there is nothing to trim to");
    if (t.fileSize < t.usedSize)
        throw Error("The image is shorter than its used size (" + std::to_string(t.fileSize) +
                    " of " + std::to_string(t.usedSize) + " bytes): it is over-trimmed");
    TrimPlan plan;
    plan.fileSize = t.fileSize;
    plan.usedSize = t.usedSize;
    plan.downloadPlayBlock = t.downloadPlayBlock;
    return plan;
}

// What the bytes cut are, once they were read.
void paddingOf(const Stream& image, const TrimInfo& t, TrimPlan& plan)
{
    if (t.paddingClean)
        plan.padding = t.paddingByte;
    else
        plan.firstData = firstDataAfter(image, t.usedSize);
}

} // namespace

TrimPlan planTrim(const Stream& image)
{
    const HeaderRecord header = decodeHeader(RawHeader::read(image));
    const TrimAnalysis analysis = analyseTrim(image, header);
    TrimPlan plan = cutOf(analysis);
    paddingOf(image, analysis.trim, plan);
    return plan;
}

TrimCut planTrimCut(const Stream& image)
{
    const HeaderRecord header = decodeHeader(RawHeader::read(image));
    TrimCut cut;
    cut.head = analyseTrimHead(image, header);
    cut.plan = cutOf(cut.head.analysis);
    return cut;
}

TrimPlan trimInto(const Stream& image, TrimCut cut, OutputFile& out, const Checkpoint& checkpoint)
{
    TrimHeadAnalysis& head = cut.head;
    TrimPlan& plan = cut.plan;
    if (std::thread::hardware_concurrency() == 1) {
        scanTrimPadding(image, head);
        paddingOf(image, head.analysis.trim, plan);
        out.copyFrom(image, 0, plan.usedSize, checkpoint);
        return plan;
    }
    std::future<void> scan =
        std::async(std::launch::async, [&image, &head] { scanTrimPadding(image, head); });
    try {
        out.copyFrom(image, 0, plan.usedSize, checkpoint);
    } catch (...) {
        // The scan reads to the end of the file and no further: bounded.
        scan.wait();
        throw;
    }
    scan.get(); // hands over the scan's read error, if it met one
    paddingOf(image, head.analysis.trim, plan);
    return plan;
}

void writeTrimmed(const Stream& image, const TrimPlan& plan, OutputFile& out,
                  const Checkpoint& checkpoint)
{
    out.copyFrom(image, 0, plan.usedSize, checkpoint);
}

std::uint64_t padTargetSize(const Stream& image, PadSize rule)
{
    if (rule == PadSize::PowerOfTwo) {
        const std::uint64_t size = image.size();
        return size <= 1 ? 1 : std::bit_ceil(std::min(size, kMaxWrittenImageSize));
    }
    const HeaderRecord header = decodeHeader(RawHeader::read(image, kNotAnImageBelow));
    const auto chip = chipSizeOf(header.ds.DeviceCapacity);
    if (!chip)
        throw Error("The capacity byte (" + hex2(header.ds.DeviceCapacity) +
                    ") names no chip size; give --size pow2 or a size in bytes");
    return *chip;
}

void writePadded(const Stream& image, std::uint64_t size, std::uint8_t fill, OutputFile& out,
                 const Checkpoint& checkpoint)
{
    if (size > kMaxWrittenImageSize)
        throw Error("A padded image of " + std::to_string(size) + " bytes is larger than " +
                    std::to_string(kMaxWrittenImageSize) + " bytes, the largest written");
    if (size < image.size())
        throw Error("The image (" + std::to_string(image.size()) + " bytes) is larger than " +
                    std::to_string(size) + " bytes: padding never cuts");
    out.copyFrom(image, 0, image.size(), checkpoint);
    out.fill(fill, size - image.size(), checkpoint);
}

} // namespace cartscope::core
