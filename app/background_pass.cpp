#include "app/background_pass.h"

#include <exception>
#include <utility>

namespace cartscope::app {

BackgroundPass::BackgroundPass(QObject* parent) : QObject(parent) {}

BackgroundPass::~BackgroundPass()
{
    cancel();
}

void BackgroundPass::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void BackgroundPass::cancel()
{
    m_stop = true;
    join();
    ++m_generation; // whatever the old pass queued is dropped on delivery
    m_running = false;
}

void BackgroundPass::start(const core::Stream& image, std::vector<core::ReadSink*> sinks)
{
    cancel();
    m_stop = false;
    m_running = true;
    const std::uint64_t generation = m_generation;
    // Delivered on this object's thread, and only while the pass is still the current one.
    auto deliver = [this, generation](auto signal) {
        QMetaObject::invokeMethod(
            this,
            [this, generation, signal = std::move(signal)] {
                if (generation == m_generation)
                    signal();
            },
            Qt::QueuedConnection);
    };
    m_thread = std::thread([this, &image, sinks = std::move(sinks), deliver] {
        int shown = -1;
        try {
            const bool complete =
                core::readPass(image, sinks, [&](std::uint64_t done, std::uint64_t total) {
                    if (m_stop.load())
                        return false;
                    // total > 0 here; images are far below 2^57 bytes, so done * 100 fits.
                    const int percent = static_cast<int>(done * 100 / total);
                    if (percent != shown) {
                        shown = percent;
                        deliver([this, percent] { Q_EMIT progress(percent); });
                    }
                    return true;
                });
            if (complete)
                deliver([this] {
                    join();
                    m_running = false;
                    Q_EMIT finished();
                });
        } catch (const std::exception& e) {
            deliver([this, message = QString::fromStdString(e.what())] {
                join();
                m_running = false;
                Q_EMIT failed(message);
            });
        }
    });
}

} // namespace cartscope::app
