#include "app/sound_feed.h"

#include <algorithm>
#include <vector>

namespace cartscope::app {

SoundFeed::SoundFeed(std::shared_ptr<const core::SoundPieces> sound)
    : m_sound(std::move(sound)),
      m_channels(static_cast<std::size_t>(std::max(m_sound->channels(), 1))),
      m_thread([this] { work(); })
{}

SoundFeed::~SoundFeed()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void SoundFeed::work()
{
    std::vector<std::int16_t> piece(kPieceFrames * m_channels);
    std::unique_lock lock(m_mutex);
    // Each turn decodes one piece or moves to the loop start; it waits while the buffer is full
    // or everything is decoded.
    core::SoundPieces::Cursor cursor; // this thread's place in the sound
    while (true) {
        m_wake.wait(
            lock, [this] { return m_stop || (!m_decodedAll && bufferedLocked() < kAheadFrames); });
        if (m_stop)
            return;
        const std::uint64_t at = m_decodeAt;
        const std::uint64_t generation = m_generation;
        lock.unlock();
        const std::size_t n = m_sound->read(at, piece, cursor);
        lock.lock();
        if (generation != m_generation)
            continue;
        if (n == 0) {
            const auto& loop = m_sound->loop();
            if (m_loop && loop)
                m_decodeAt = loop->start;
            else
                m_decodedAll = true;
            m_wake.notify_all();
            continue;
        }
        m_buffer.insert(m_buffer.end(), piece.begin(),
                        piece.begin() + static_cast<std::ptrdiff_t>(n * m_channels));
        m_segments.push_back({at, n});
        m_decodeAt = at + n;
        m_wake.notify_all();
    }
}

void SoundFeed::seek(std::uint64_t frame)
{
    {
        const std::lock_guard lock(m_mutex);
        ++m_generation;
        m_buffer.clear();
        m_segments.clear();
        m_decodeAt = m_position = std::min(frame, m_sound->frames());
        m_decodedAll = false;
    }
    m_wake.notify_all();
}

void SoundFeed::setLoop(bool loop)
{
    {
        const std::lock_guard lock(m_mutex);
        m_loop = loop;
        // Turned on after the end was decoded: decoding goes on at the loop start.
        if (loop && m_decodedAll && m_sound->loop()) {
            m_decodedAll = false;
            m_decodeAt = m_sound->loop()->start;
        }
    }
    m_wake.notify_all();
}

std::size_t SoundFeed::pull(std::span<std::int16_t> out)
{
    std::size_t taken = 0;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t want = std::min(out.size() / m_channels, bufferedLocked());
        std::copy_n(m_buffer.begin(), want * m_channels, out.begin());
        m_buffer.erase(m_buffer.begin(),
                       m_buffer.begin() + static_cast<std::ptrdiff_t>(want * m_channels));
        taken = want;
        // The segments the frames came from, so the position follows a jump to the loop start.
        for (std::size_t left = want; left > 0;) {
            Segment& s = m_segments.front();
            const std::size_t n = std::min(left, s.frames);
            s.first += n;
            s.frames -= n;
            left -= n;
            m_position = s.first;
            if (s.frames == 0)
                m_segments.pop_front();
        }
        if (!m_segments.empty())
            m_position = m_segments.front().first;
    }
    m_wake.notify_all();
    return taken;
}

std::uint64_t SoundFeed::position() const
{
    const std::lock_guard lock(m_mutex);
    return m_position;
}

bool SoundFeed::ended() const
{
    const std::lock_guard lock(m_mutex);
    return m_decodedAll && m_buffer.empty();
}

std::size_t SoundFeed::buffered() const
{
    const std::lock_guard lock(m_mutex);
    return bufferedLocked();
}

void SoundFeed::waitFor(std::size_t frames) const
{
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_stop || m_decodedAll || bufferedLocked() >= frames; });
}

} // namespace cartscope::app
