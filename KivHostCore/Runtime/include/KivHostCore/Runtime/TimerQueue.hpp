#pragma once
// Timers ordered by due time, then by the order they were added. Shared by every executor
// implementation so the real and virtual ones order timers identically. Thread-safe.
#include <cstdint>
#include <mutex>
#include <optional>
#include <queue>
#include <vector>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

namespace timer {
class TimerState {
public:
    explicit TimerState(Task task) : task_(std::move(task)) {}
    // Runs the task unless it was cancelled; a task runs at most once.
    void fire();
    void cancel();
    bool isPending() const;

private:
    mutable std::mutex mutex_;
    Task task_;
};
} // namespace timer

class TimerQueue {
public:
    struct Added {
        TimerHandle handle;
        bool becameEarliest = false; // the driver must re-arm its wake-up
    };

    Added add(MonotonicTime due, Task task);
    // Earliest due time of a timer that is still pending.
    std::optional<MonotonicTime> nextDue();
    // Removes and returns the timers due at or before `now`, in firing order.
    std::vector<std::shared_ptr<timer::TimerState>> takeDue(MonotonicTime now);
    // Removes and returns the single earliest timer if it is due at or before `limit`.
    std::optional<std::pair<MonotonicTime, std::shared_ptr<timer::TimerState>>> takeNext(MonotonicTime limit);
    void clear();

private:
    struct Entry {
        MonotonicTime due;
        std::uint64_t sequence;
        std::shared_ptr<timer::TimerState> state;
        bool operator>(const Entry& other) const {
            return due != other.due ? due > other.due : sequence > other.sequence;
        }
    };
    void dropCancelledLocked();

    std::mutex mutex_;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap_;
    std::uint64_t nextSequence_ = 0;
};

} // namespace kiv
