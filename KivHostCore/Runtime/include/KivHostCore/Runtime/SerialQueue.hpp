#pragma once
// A labelled serial queue ("kiv.video", "kiv.input", ...): tasks run one at a time, in order,
// on the shared worker pool, or on a thread of the queue's own when its work blocks or runs long
// ("kiv.encoder", "kiv.display"), so that work never holds a shared worker. sync() runs its task
// on the calling thread once the work posted before it is done, without running that work
// itself, so a chain of sync calls that comes back to a queue it already holds runs inline
// instead of deadlocking. Never destroy a queue from its own work.
#include <memory>
#include <string>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

class SerialQueue final : public Executor {
public:
    struct OwnThread {};
    static constexpr OwnThread ownThread{};

    explicit SerialQueue(std::string label);
    SerialQueue(std::string label, WorkerPool& pool);
    SerialQueue(std::string label, OwnThread);
    ~SerialQueue() override; // pending tasks and timers are dropped
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) { post(std::move(task)); }
    TimerHandle after(Duration delay, Task task) { return postAfter(delay, std::move(task)); }

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    bool sync(Task task) override;
    MonotonicTime now() const override;
    bool isCurrent() const override;
    std::string_view label() const override;

    struct Impl;

private:
    void startTimers();

    std::unique_ptr<WorkerPool> ownPool_; // declared first: destroyed after the queue has closed
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
