#include "app/sound_player.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>

#include "app/sound_feed.h"

namespace cartscope::app {

// The feed as the sequential device QAudioSink pulls from (on the GUI thread: copies only).
class FeedDevice final : public QIODevice {
public:
    FeedDevice(SoundFeed& feed, int channels) : m_feed(feed), m_channels(channels) {}

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const auto frameBytes = static_cast<qint64>(2 * m_channels);
        const auto frames = static_cast<std::size_t>(maxSize / frameBytes);
        if (frames == 0)
            return 0;
        m_scratch.resize(frames * static_cast<std::size_t>(m_channels));
        std::size_t n = m_feed.pull(m_scratch);
        if (n == 0) {
            if (m_feed.ended())
                return 0; // the sink goes idle: the end
            // Decoding has not caught up: a moment of silence keeps the output running.
            n = std::min<std::size_t>(frames, 256);
            std::fill_n(m_scratch.begin(), n * static_cast<std::size_t>(m_channels), 0);
        }
        const auto bytes = static_cast<qint64>(n) * frameBytes;
        std::memcpy(data, m_scratch.data(), static_cast<std::size_t>(bytes));
        return bytes;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    SoundFeed& m_feed;
    int m_channels;
    std::vector<std::int16_t> m_scratch;
};

SoundPlayer::SoundPlayer(QObject* parent) : QObject(parent) {}

SoundPlayer::~SoundPlayer()
{
    stop();
}

bool SoundPlayer::hasOutput()
{
    return !QMediaDevices::audioOutputs().isEmpty();
}

void SoundPlayer::setSound(std::shared_ptr<const core::SoundPieces> sound)
{
    stop();
    m_device.reset();
    m_feed.reset();
    m_sound = std::move(sound);
    if (!m_sound)
        return;
    m_feed = std::make_unique<SoundFeed>(m_sound);
    m_feed->setLoop(m_loop);
}

void SoundPlayer::play()
{
    if (!m_feed || playing() || !hasOutput())
        return;
    if (m_feed->ended())
        m_feed->seek(0);
    QAudioFormat format;
    format.setSampleRate(static_cast<int>(m_sound->rate()));
    format.setChannelCount(m_sound->channels());
    format.setSampleFormat(QAudioFormat::Int16);
    m_device = std::make_unique<FeedDevice>(*m_feed, m_sound->channels());
    m_device->open(QIODevice::ReadOnly);
    m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
    connect(m_sink, &QAudioSink::stateChanged, this, &SoundPlayer::stateChanged);
    m_feed->waitFor(SoundFeed::kPieceFrames);
    m_sink->start(m_device.get());
}

void SoundPlayer::stop()
{
    if (m_sink) {
        QAudioSink* sink = m_sink;
        m_sink = nullptr;
        sink->disconnect(this);
        sink->stop();
        // Not deleted here: stop() also runs inside the sink's own state signal.
        sink->deleteLater();
    }
    if (m_device)
        m_device->close();
}

void SoundPlayer::stateChanged()
{
    if (!m_sink)
        return;
    // Idle with the feed at its end is the end; a stop with an error is the output failing.
    const QAudio::State state = m_sink->state();
    const bool done = (state == QAudio::IdleState && m_feed && m_feed->ended()) ||
                      (state == QAudio::StoppedState && m_sink->error() != QAudio::NoError);
    if (!done)
        return;
    stop();
    Q_EMIT finished();
}

void SoundPlayer::setLoop(bool loop)
{
    m_loop = loop;
    if (m_feed)
        m_feed->setLoop(loop);
}

void SoundPlayer::seek(std::uint64_t frame)
{
    if (m_feed)
        m_feed->seek(frame);
}

bool SoundPlayer::playing() const
{
    return m_sink != nullptr;
}

std::uint64_t SoundPlayer::position() const
{
    return m_feed ? m_feed->position() : 0;
}

} // namespace cartscope::app
