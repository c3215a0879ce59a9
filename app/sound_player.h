#pragma once

#include <cstdint>
#include <memory>

#include <QObject>

#include "core/formats/sound/sound_pieces.h"

class QAudioSink;

namespace cartscope::app {

class SoundFeed;
class FeedDevice;

// Plays one sound through the default audio output with QAudioSink, pulling 16-bit PCM from a
// SoundFeed (decoded on its own thread). Without an audio output nothing plays.
class SoundPlayer final : public QObject {
    Q_OBJECT
public:
    explicit SoundPlayer(QObject* parent = nullptr);
    ~SoundPlayer() override;

    // Whether the system has an audio output to play through.
    static bool hasOutput();

    // The sound to play (stops what plays); none to let go of it.
    void setSound(std::shared_ptr<const core::SoundPieces> sound);
    void play();
    void stop();
    void setLoop(bool loop);
    void seek(std::uint64_t frame);

    bool playing() const;
    std::uint64_t position() const;

Q_SIGNALS:
    // Playing stopped by itself: the end was reached, or the output failed.
    void finished();

private:
    void stateChanged();

    std::shared_ptr<const core::SoundPieces> m_sound;
    std::unique_ptr<SoundFeed> m_feed;
    std::unique_ptr<FeedDevice> m_device;
    QAudioSink* m_sink = nullptr;
    bool m_loop = false;
};

} // namespace cartscope::app
