#pragma once
// A labelled serial queue ("kiv.video", "kiv.input", ...): tasks run one at a time, in order,
// on the worker pool. sync() runs its task on the calling thread once the queue is free, so a
// chain of sync calls that comes back to a queue it already holds runs inline instead of
// deadlocking.
#include <memory>
#include <string>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class WorkerPool;

class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string label);
    SerialQueue(std::string label, WorkerPool& pool);
    ~SerialQueue() override; // pending tasks and timers are dropped
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) { post(std::move(task)); }
    TimerHandle after(Duration delay, Task task) { return postAfter(delay, std::move(task)); }

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    void sync(Task task) override;
    MonotonicTime now() const override;
    bool isCurrent() const override;
    std::string_view label() const override;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
