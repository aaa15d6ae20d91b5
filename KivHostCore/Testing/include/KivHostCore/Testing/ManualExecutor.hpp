#pragma once
// An executor in virtual time for tests: nothing runs until the test says so, and time only
// moves when the test advances it. Single-threaded: use it from the test's thread.
#include <deque>
#include <optional>
#include <string>
#include <thread>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivHostCore/Runtime/TimerQueue.hpp"

namespace kiv {

class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(std::string label = "manual", MonotonicTime start = MonotonicTime{1'000'000'000});
    ~ManualExecutor() override { retire(); }

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    // Runs the work posted before it, then the task, like a real executor seen from outside.
    bool sync(Task task) override;
    MonotonicTime now() const override { return now_; }
    bool isCurrent() const override;
    // The test drives confined objects directly from its own thread.
    bool isConfinedHere() const override { return std::this_thread::get_id() == owner_; }
    std::string_view label() const override { return label_; }

    // Runs posted work and timers already due, including work they post, without moving time.
    // Returns how many tasks ran.
    std::size_t runUntilIdle();
    // Moves time forward by `by`, running every timer at its own due time in order, with the
    // work each one posts, then leaves time at now + by.
    void advance(Duration by);
    // Time until the earliest pending timer; nothing when no timer is pending.
    std::optional<Duration> nextPendingDelay();
    // Runs exactly one thing: the oldest posted task, else the earliest timer (moving time to it).
    // False when nothing is pending. Lets a test act between any two steps of a flow.
    bool step();
    // Advances to the earliest pending timer and runs it; false when none is pending.
    bool runNextTimer();

    std::size_t pendingTasks() const { return ready_.size(); }

private:
    void runTask(Task& task);
    void fire(timer::TimerState& state);
    // Runs `work` as a task of this executor: isCurrent() holds while it runs.
    template <class Work>
    void inTask(Work&& work) {
        ++depth_;
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        work();
    }

    std::string label_;
    int depth_ = 0; // > 0 while a task of this executor runs
    MonotonicTime now_;
    std::deque<Task> ready_;
    TimerQueue timers_;
    std::thread::id owner_ = std::this_thread::get_id();
};

} // namespace kiv
