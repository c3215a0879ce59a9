#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/io/stream.h"

// One sequential read of a whole image, handed block by block to any number of consumers (the
// CRC-32, digests, the padding check), so every result that needs all the bytes costs one read.
namespace cartscope::core {

class ReadSink {
public:
    virtual ~ReadSink() = default;
    // The next block of the image, which begins at `position`; blocks arrive in order and
    // without gaps. The span is valid only during the call.
    virtual void consume(std::span<const std::uint8_t> block, std::uint64_t position) = 0;
    // Called once after the last block with the count of bytes read.
    virtual void finish(std::uint64_t total) { (void)total; }
};

// Hands one block to every sink in order: the one step every reader of blocks takes (the pass
// below, a fan-out sink, an archive member read front to back).
inline void feedSinks(std::span<ReadSink* const> sinks, std::span<const std::uint8_t> block,
                      std::uint64_t position)
{
    for (ReadSink* sink : sinks)
        sink->consume(block, position);
}

inline constexpr std::size_t kReadPassBlockSize = std::size_t{1} << 20;

// Reads `image` from byte 0 to its size in 1 MiB page-aligned blocks and hands each block to
// every sink in order, on the calling thread. When the sinks take a good share of the read's
// time, the read runs a few blocks ahead on a thread of its own, so that reading and the sinks'
// work overlap (see read_pass.cpp); any Stream may be read from another thread.
// `onProgress(done, total)` is called after each block, on the calling thread; returning false
// stops the pass at once (sinks are not finished, a read ahead is stopped and waited for) and
// readPass returns false. A stream that delivers less than its size throws "Stream read error";
// an exception from a read or a sink ends the pass with it.
bool readPass(const Stream& image, std::span<ReadSink* const> sinks,
              const std::function<bool(std::uint64_t done, std::uint64_t total)>& onProgress = {});

} // namespace cartscope::core
