#include "app/background_pass.h"

#include <exception>
#include <utility>

namespace cartscope::app {

BackgroundPass::BackgroundPass(QObject* parent) : QObject(parent) {}

BackgroundPass::~BackgroundPass()
{
    cancel();
}

void BackgroundPass::cancel()
{
    m_job.cancel();
    m_running = false;
}

void BackgroundPass::start(const core::Stream& image, std::vector<core::ReadSink*> sinks)
{
    cancel();
    m_running = true;
    m_job.start([this, &image, sinks = std::move(sinks)](const BackgroundJob::Run& run) {
        int shown = -1;
        try {
            const bool complete =
                core::readPass(image, sinks, [&](std::uint64_t done, std::uint64_t total) {
                    if (run.cancelled())
                        return false;
                    // total > 0 here; images are far below 2^57 bytes, so done * 100 fits.
                    const int percent = static_cast<int>(done * 100 / total);
                    if (percent != shown) {
                        shown = percent;
                        run.deliver([this, percent] { Q_EMIT progress(percent); });
                    }
                    return true;
                });
            if (complete)
                run.deliver([this] {
                    m_job.finish();
                    m_running = false;
                    Q_EMIT finished();
                });
        } catch (const std::exception& e) {
            run.deliver([this, message = QString::fromStdString(e.what())] {
                m_job.finish();
                m_running = false;
                Q_EMIT failed(message);
            });
        }
    });
}

} // namespace cartscope::app
