#include "app/background_job.h"

#include <utility>

namespace cartscope::app {

void BackgroundJob::Run::deliver(std::function<void()> call) const
{
    QMetaObject::invokeMethod(
        m_job->m_owner,
        [job = m_job, generation = m_generation, call = std::move(call)] {
            if (generation == job->m_generation)
                call();
        },
        Qt::QueuedConnection);
}

void BackgroundJob::start(std::function<void(const Run&)> work)
{
    cancel();
    const Run run(this, m_generation);
    m_thread = std::thread([work = std::move(work), run] { work(run); });
}

void BackgroundJob::cancel()
{
    ++m_generation; // whatever the old work queued is dropped on delivery
    m_cancel = true;
    finish();
    m_cancel = false;
}

void BackgroundJob::finish()
{
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace cartscope::app
