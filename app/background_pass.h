#pragma once

#include <vector>

#include <QObject>
#include <QString>

#include "app/background_job.h"
#include "core/io/read_pass.h"
#include "core/io/stream.h"

namespace cartscope::app {

// The window's one whole-file read per load, off the GUI thread: every block of the image goes
// to a list of sinks (the CRC-32, and whatever else the window plugs in) while the window stays
// live. Results arrive as signals on the thread that owns this object, and never from a pass
// that has been cancelled or replaced: a late signal of an old pass is dropped.
class BackgroundPass final : public QObject {
    Q_OBJECT
public:
    explicit BackgroundPass(QObject* parent = nullptr);
    ~BackgroundPass() override; // cancels and waits

    // Starts reading `image` (streams are read by position only, so extraction can read the same
    // stream meanwhile). `image` and the sinks must stay alive until
    // finished() or failed() has been emitted or cancel() has returned. A running pass is
    // cancelled first.
    void start(const core::Stream& image, std::vector<core::ReadSink*> sinks);
    // Stops the pass after the block being read (at most 1 MiB) and waits for its thread; no
    // signal of it is emitted afterwards. Does nothing when no pass runs.
    void cancel();
    // From start() until finished() or failed() has been emitted, or cancel().
    bool running() const { return m_running; }

Q_SIGNALS:
    // Whole percentages of the image read, each value once, rising.
    void progress(int percent);
    // Every byte was read and every sink finished.
    void finished();
    // The read failed; the user's message ("Stream read error").
    void failed(const QString& message);

private:
    BackgroundJob m_job{this};
    bool m_running = false;
};

} // namespace cartscope::app
