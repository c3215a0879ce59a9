#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include <QObject>

namespace cartscope::app {

// One piece of the window's background work at a time (the image's read pass, the DAT folder
// load, the DAT match): it runs on a thread of its own and hands its results to the owner's
// thread, tagged with the generation it was started in, so a result of work that has been
// cancelled or replaced meanwhile is dropped on delivery.
class BackgroundJob {
public:
    // What the work sees of its job, on its thread.
    class Run {
    public:
        // Whether the job was cancelled (or replaced): the work should end soon.
        bool cancelled() const { return m_job->m_cancel.load(); }
        // Runs `call` on the owner's thread, unless the job has been cancelled or replaced by
        // then.
        void deliver(std::function<void()> call) const;

    private:
        friend class BackgroundJob;
        Run(BackgroundJob* job, std::uint64_t generation) : m_job(job), m_generation(generation) {}
        BackgroundJob* m_job;
        std::uint64_t m_generation;
    };

    // Deliveries go to `owner`'s thread; the job must be a member of the owner (or live no
    // longer than it).
    explicit BackgroundJob(QObject* owner) : m_owner(owner) {}
    ~BackgroundJob() { cancel(); }
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;

    // Cancels the running work, then starts `work` on a new thread.
    void start(std::function<void(const Run&)> work);
    // Raises the cancel flag and waits for the thread; nothing it delivered is called afterwards.
    // Does nothing when no work runs.
    void cancel();
    // Waits for the thread; called from a delivery that was the work's last.
    void finish();

private:
    QObject* m_owner;
    std::thread m_thread;
    std::atomic<bool> m_cancel{false};
    std::uint64_t m_generation = 0; // owner's thread only: the work whose results are wanted
};

} // namespace cartscope::app
