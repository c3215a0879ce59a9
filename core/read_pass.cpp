#include "core/read_pass.h"

#include <fcntl.h>
#include <memory>

#include "core/crc32.h"
#include "core/error.h"

namespace cartscope::core {

void Crc32Sink::consume(std::span<const std::uint8_t> block, std::uint64_t)
{
    m_crc = crc32::crc32Of(block, m_crc);
}

namespace {
constexpr std::size_t kPageSize = 4096;
// Page-aligned: the kernel's copy out of the page cache runs several times slower into a
// destination that is not 64-byte aligned.
struct alignas(kPageSize) PassBlock {
    std::array<std::uint8_t, kReadPassBlockSize> bytes;
};
} // namespace

bool readPass(const Stream& image, std::span<ReadSink* const> sinks,
              const std::function<bool(std::uint64_t, std::uint64_t)>& onProgress)
{
    if (const auto native = image.nativeFile())
        // Advice only: a failure changes nothing but speed.
        ::posix_fadvise(native->fd, static_cast<off_t>(native->offset), 0, POSIX_FADV_SEQUENTIAL);
    // One block per thread, kept for its next pass: a run over many images (batch
    // verification) would otherwise fault in a fresh megabyte for every image.
    thread_local const auto block = std::make_unique_for_overwrite<PassBlock>();
    const std::span<std::uint8_t> bytes(block->bytes);
    const std::uint64_t total = image.size();
    std::uint64_t done = 0;
    // Bounded by the stream's size: each step consumes at least one byte or throws.
    while (done < total) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), total - done));
        const std::size_t n = image.pread(done, bytes.first(want));
        if (n != want)
            throw Error(kStreamReadError); // the file shrank under us
        for (ReadSink* sink : sinks)
            sink->consume(bytes.first(n), done);
        done += n;
        if (onProgress && !onProgress(done, total))
            return false;
    }
    for (ReadSink* sink : sinks)
        sink->finish(done);
    return true;
}

} // namespace cartscope::core
