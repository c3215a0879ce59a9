#include "core/io/read_pass.h"

#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "core/base/error.h"

namespace cartscope::core {

namespace {
constexpr std::size_t kPageSize = 4096;
// Page-aligned: the kernel's copy out of the page cache runs several times slower into a
// destination that is not 64-byte aligned.
struct alignas(kPageSize) PassBlock {
    std::array<std::uint8_t, kReadPassBlockSize> bytes;
};

// Blocks read ahead of the sinks: enough to keep the reader busy while the sinks take a block,
// few enough that a block is still in the processor's cache when the sinks reach it.
constexpr std::size_t kRingBlocks = 4;
struct Ring {
    std::array<PassBlock, kRingBlocks> blocks;
    std::array<std::size_t, kRingBlocks> delivered{}; // bytes pread delivered into each block
    std::array<std::exception_ptr, kRingBlocks> failure{};
};

// The first blocks are read on the calling thread, timing the read and the sinks. When the
// sinks take a good share of the read's time (a CRC-32 without wide carry-less multiplies;
// slow storage is the other way round) and enough of the image is left, the rest is read
// ahead on a thread of its own so that the two overlap. Where the sinks cost little beside the
// copy out of the page cache, the second thread costs more than it saves: handing every block
// from one core's cache to another's, and waiting for both threads to be scheduled on a busy
// machine, measured slower than taking turns. The first block is not timed (its buffer's pages
// are faulted in, the sinks start up); of the next ones the fastest read and the fastest sinks
// count, since a thread that was preempted only ever makes a block slower.
constexpr std::uint64_t kProbeBlocks = 4;
constexpr std::uint64_t kOverlapFrom = 8 * kReadPassBlockSize; // left to read
constexpr int kSinkShareTenths = 3; // sinks' time at least 30 % of the read's

std::size_t blockLength(std::uint64_t done, std::uint64_t total)
{
    return static_cast<std::size_t>(std::min<std::uint64_t>(kReadPassBlockSize, total - done));
}

// The read on a thread of its own, a few blocks ahead, and the sinks on the calling thread.
// Block k (counted from `from`) lies in ring slot k % kRingBlocks; `filled` counts the blocks
// the reader has published, `released` the blocks the sinks are done with.
class OverlappedPass {
public:
    OverlappedPass(const Stream& image, Ring& ring, std::uint64_t from)
        : m_image(image), m_ring(ring), m_from(from)
    {
        m_reader = std::thread([this] { read(); });
    }
    ~OverlappedPass()
    {
        // The sinks are done with every block now; the count moves only to wake the reader.
        m_stop.store(true);
        m_released.fetch_add(1);
        m_released.notify_one();
        m_reader.join();
    }
    OverlappedPass(const OverlappedPass&) = delete;
    OverlappedPass& operator=(const OverlappedPass&) = delete;

    // The sinks' side: false when onProgress stopped the pass.
    bool run(std::span<ReadSink* const> sinks,
             const std::function<bool(std::uint64_t, std::uint64_t)>& onProgress)
    {
        const std::uint64_t total = m_image.size();
        std::uint64_t done = m_from;
        // Bounded by the block count; each round waits for the reader, which publishes every
        // block (or its failure) in turn.
        for (std::uint64_t k = 0; done < total; ++k) {
            std::uint64_t filled = m_filled.load(std::memory_order_acquire);
            while (filled <= k) {
                m_filled.wait(filled, std::memory_order_acquire);
                filled = m_filled.load(std::memory_order_acquire);
            }
            const std::size_t slot = k % kRingBlocks;
            if (m_ring.failure[slot])
                std::rethrow_exception(m_ring.failure[slot]);
            const std::size_t want = blockLength(done, total);
            if (m_ring.delivered[slot] != want)
                throw Error(kStreamReadError); // the file shrank under us
            const std::span<const std::uint8_t> block(m_ring.blocks[slot].bytes.data(), want);
            feedSinks(sinks, block, done);
            done += want;
            m_released.store(k + 1, std::memory_order_release);
            m_released.notify_one();
            if (onProgress && !onProgress(done, total))
                return false;
        }
        return true;
    }

private:
    void read()
    {
        const std::uint64_t total = m_image.size();
        std::uint64_t done = m_from;
        // Bounded by the block count: every round reads one block, or waits for the sinks to
        // release one, or ends on a stop or a failure.
        for (std::uint64_t k = 0; done < total; ++k) {
            std::uint64_t released = m_released.load(std::memory_order_acquire);
            while (!m_stop.load() && k - released >= kRingBlocks) {
                m_released.wait(released, std::memory_order_acquire);
                released = m_released.load(std::memory_order_acquire);
            }
            if (m_stop.load())
                return;
            const std::size_t slot = k % kRingBlocks;
            const std::size_t want = blockLength(done, total);
            bool ok = true;
            try {
                m_ring.delivered[slot] = m_image.pread(
                    done, std::span<std::uint8_t>(m_ring.blocks[slot].bytes.data(), want));
                m_ring.failure[slot] = nullptr;
                ok = m_ring.delivered[slot] == want;
            } catch (...) {
                m_ring.failure[slot] = std::current_exception();
                ok = false;
            }
            m_filled.store(k + 1, std::memory_order_release);
            m_filled.notify_one();
            if (!ok)
                return; // the sinks meet the failure at this block
            done += want;
        }
    }

    const Stream& m_image;
    Ring& m_ring;
    std::uint64_t m_from;
    std::atomic<std::uint64_t> m_filled{0};
    std::atomic<std::uint64_t> m_released{0};
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

using Clock = std::chrono::steady_clock;
} // namespace

bool readPass(const Stream& image, std::span<ReadSink* const> sinks,
              const std::function<bool(std::uint64_t, std::uint64_t)>& onProgress)
{
    if (const auto native = image.nativeFile())
        // Advice only: a failure changes nothing but speed.
        ::posix_fadvise(native->fd, static_cast<off_t>(native->offset), 0, POSIX_FADV_SEQUENTIAL);
    // The blocks are kept per thread for its next pass: a run over many images (batch
    // verification) would otherwise fault in fresh megabytes for every image.
    thread_local const auto ring = std::make_unique_for_overwrite<Ring>();
    const std::span<std::uint8_t> bytes(ring->blocks[0].bytes);
    const std::uint64_t total = image.size();
    std::uint64_t done = 0;
    Clock::duration reading = Clock::duration::max(); // the fastest probe block's
    Clock::duration consuming = Clock::duration::max();
    // Bounded by the stream's size: each step consumes at least one byte, throws, or hands the
    // rest to the overlapped pass, which is bounded likewise.
    for (std::uint64_t k = 0; done < total; ++k) {
        if (k == kProbeBlocks + 1 && total - done >= kOverlapFrom &&
            consuming * 10 >= reading * kSinkShareTenths &&
            std::thread::hardware_concurrency() != 1) {
            std::optional<OverlappedPass> pass;
            try {
                pass.emplace(image, *ring, done);
            } catch (const std::system_error&) {
                // No thread to be had: the read and the sinks keep taking turns.
            }
            if (pass) {
                if (!pass->run(sinks, onProgress))
                    return false;
                done = total;
                break;
            }
        }
        const std::size_t want = blockLength(done, total);
        const Clock::time_point t0 = Clock::now();
        const std::size_t n = image.pread(done, bytes.first(want));
        if (n != want)
            throw Error(kStreamReadError); // the file shrank under us
        const Clock::time_point t1 = Clock::now();
        feedSinks(sinks, bytes.first(n), done);
        if (k >= 1 && k <= kProbeBlocks) {
            reading = std::min(reading, t1 - t0);
            consuming = std::min(consuming, Clock::now() - t1);
        }
        done += n;
        if (onProgress && !onProgress(done, total))
            return false;
    }
    for (ReadSink* sink : sinks)
        sink->finish(done);
    return true;
}

} // namespace cartscope::core
