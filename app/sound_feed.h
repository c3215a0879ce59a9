#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "core/formats/sound/sound_pieces.h"

// Sound decoded ahead of the player on a thread of its own: the GUI thread only copies frames
// out. At most kAheadFrames frames (and one piece) are held, however long the sound.
namespace cartscope::app {

class SoundFeed {
public:
    static constexpr std::size_t kAheadFrames = 16384;
    static constexpr std::size_t kPieceFrames = 4096;

    explicit SoundFeed(std::shared_ptr<const core::SoundPieces> sound);
    ~SoundFeed();
    SoundFeed(const SoundFeed&) = delete;
    SoundFeed& operator=(const SoundFeed&) = delete;

    // Decoding from `frame` on (cut to the end), dropping what was decoded ahead.
    void seek(std::uint64_t frame);
    // With a loop on, the end of a looping sound goes on at its loop start.
    void setLoop(bool loop);
    // Up to out.size() / channels frames decoded so far, taken from the buffer; fewer (or none)
    // when decoding has not caught up.
    std::size_t pull(std::span<std::int16_t> out);
    // The frame the next pull starts at.
    std::uint64_t position() const;
    // The end was reached without a loop and every frame was taken.
    bool ended() const;
    // Frames decoded ahead (for the tests: the cap holds).
    std::size_t buffered() const;
    // Waits until at least `frames` are buffered or the end is decoded (a start without a gap).
    void waitFor(std::size_t frames) const;

private:
    void work();
    std::size_t bufferedLocked() const { return m_buffer.size() / m_channels; }

    struct Segment {
        std::uint64_t first;
        std::size_t frames;
    };

    std::shared_ptr<const core::SoundPieces> m_sound;
    std::size_t m_channels;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    std::deque<std::int16_t> m_buffer;
    std::deque<Segment> m_segments; // where the buffered frames come from, in order
    std::uint64_t m_decodeAt = 0;
    std::uint64_t m_position = 0;
    std::uint64_t m_generation = 0; // a seek makes a piece being decoded stale
    bool m_loop = false;
    bool m_decodedAll = false;
    bool m_stop = false;
    std::thread m_thread; // last: started once everything above is ready
};

} // namespace cartscope::app
