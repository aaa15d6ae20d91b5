#pragma once
// The virtual display manager's time on the host's runtime: blocking settle sleeps on the calling
// queue (a queue with a thread of its own, "kiv.display": a settle must never hold a shared
// worker), asynchronous waits as timers of `executor`.
#include <thread>

#include "KivHostCore/Runtime/Executor.hpp"
#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class ExecutorDisplayClock : public VirtualDisplayClock {
public:
    // `executor` must outlive the clock.
    explicit ExecutorDisplayClock(Executor& executor) : executor_(executor) {}
    Duration now() const override { return executor_.now(); }
    void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }
    void after(Duration delay, std::function<void()> task) override {
        executor_.postAfter(delay, [task = std::move(task)] { task(); });
    }

private:
    Executor& executor_;
};

} // namespace kiv
