#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/compress/compress.h"

// The stream decoders' inner parts, for compress.cpp and the trial decode: they report how a
// decode ended instead of throwing, so a caller can tell "the data ends early" from a fault.
namespace cartscope::core::detail {

enum class DecodeEnd { Done, InputEnded, ReferenceBeforeStart, BadTree };

// Output through a window: bytes are made in one buffer holding the last 4 KiB (what a
// back-reference can reach) plus one chunk, which goes to the sink when full. A token never
// needs more room than one LZ11 reference makes, so each token is checked for room once.
class WindowedOutput {
public:
    static constexpr std::size_t kWindow = 4096;
    static constexpr std::size_t kChunk = 64 * 1024;
    static constexpr std::size_t kMaxToken = 65808; // LZ11's longest reference
    static constexpr std::size_t kSlack = 16;       // the 8-byte copy may run 7 bytes past

    // Stops at `target` bytes; the sink receives them.
    WindowedOutput(std::uint64_t target, const ChunkSink& sink);

    bool full() const { return m_start + m_pos >= m_target; }
    std::uint64_t produced() const { return m_start + m_pos; }
    std::uint64_t remaining() const { return m_target - produced(); }

    // Called before each token: hands a full chunk to the sink and keeps the window.
    void makeRoom()
    {
        if (m_pos >= kWindow + kChunk)
            slide();
    }
    void put(std::uint8_t b) { m_buf[m_pos++] = b; }
    // A back-reference of `length` bytes `distance` back (distance <= produced()), cut at the
    // target.
    void copy(std::size_t distance, std::size_t length);
    void fill(std::uint8_t b, std::size_t length);
    void append(const std::uint8_t* from, std::size_t length);
    // Hands what is left to the sink.
    void finish();

    // Direct access for the LZ loop, which keeps the write position in a register (a byte store
    // could alias the members): the buffer, the position, and setPosition() before slide().
    std::uint8_t* buffer() { return m_buf.get(); }
    std::size_t position() const { return m_pos; }
    void setPosition(std::size_t pos) { m_pos = pos; }
    void slide();

private:
    std::unique_ptr<std::uint8_t[]> m_buf;
    std::size_t m_pos = 0;     // next byte in m_buf
    std::size_t m_flushed = 0; // bytes of m_buf already handed to the sink
    std::uint64_t m_start = 0; // output offset of m_buf[0]
    std::uint64_t m_target;
    const ChunkSink& m_sink;
};

// Decode the data after the header (`data`) for `codec` into `out` until it is full.
DecodeEnd decodeStream(Codec codec, std::span<const std::uint8_t> data, WindowedOutput& out);

} // namespace cartscope::core::detail
