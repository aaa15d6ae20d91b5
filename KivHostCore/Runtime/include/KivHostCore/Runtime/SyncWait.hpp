#pragma once
// A caller waiting in an executor's sync() from another thread. Its task refers to the caller's
// stack, so it runs only while the caller still waits: a wait that is given up (or refused by
// an executor that stops) before the task started means the task never runs.
#include <condition_variable>
#include <mutex>

namespace kiv {

struct SyncWait {
    enum class Phase { queued, running, done, refused };
    std::mutex mutex;
    std::condition_variable cv;
    Phase phase = Phase::queued;

    void set(Phase next) {
        {
            const std::lock_guard lock(mutex);
            phase = next;
        }
        cv.notify_all();
    }
    // On the executor, before the task: false when the caller is gone (the task must not run).
    bool start() {
        const std::lock_guard lock(mutex);
        if (phase != Phase::queued) return false;
        phase = Phase::running;
        return true;
    }
    // Marks a task that has not started as never to run; true when it was still queued.
    bool refuse() {
        const std::lock_guard lock(mutex);
        if (phase != Phase::queued) return false;
        phase = Phase::refused;
        cv.notify_all();
        return true;
    }
};

} // namespace kiv
