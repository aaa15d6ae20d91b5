#pragma once
// Where work runs. Logic never reads a clock or starts a thread itself: it posts to an
// Executor and asks it for the time, so the same code runs on Asio in production and on
// ManualExecutor (virtual time) in tests.
#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace kiv {

using Duration = std::chrono::microseconds;
// Monotonic time since the executor clock's epoch (CLOCK_MONOTONIC for the real executors).
using MonotonicTime = std::chrono::microseconds;
using Task = std::move_only_function<void()>;

namespace timer {
class TimerState;
}

// Refers to one scheduled timer. Copies share the timer; destroying a handle does not cancel
// (use ScopedTimer for that). Thread-safe.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<timer::TimerState> state) : state_(std::move(state)) {}

    // The task will not start after this returns, unless it is already running or done.
    // Cancelling from the timer's own executor before it fires is therefore exact.
    void cancel();
    // True while the task has neither run nor been cancelled.
    bool isPending() const;

private:
    std::shared_ptr<timer::TimerState> state_;
};

// Owns a timer: replacing or destroying it cancels the previous one ("sleep, unless cancelled").
class ScopedTimer {
public:
    ScopedTimer() = default;
    ScopedTimer(TimerHandle handle) : handle_(std::move(handle)) {} // NOLINT(google-explicit-constructor)
    ScopedTimer(ScopedTimer&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    ScopedTimer& operator=(ScopedTimer&& other) noexcept;
    ScopedTimer& operator=(TimerHandle handle);
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;
    ~ScopedTimer() { handle_.cancel(); }

    void cancel() { handle_.cancel(); }
    bool isPending() const { return handle_.isPending(); }

private:
    TimerHandle handle_;
};

class Executor;

namespace timer {
// Lets code on other threads reach an executor that may be destroyed meanwhile.
class ExecutorAnchor {
public:
    explicit ExecutorAnchor(Executor* executor) : executor_(executor) {}
    bool post(Task& task);
    std::optional<TimerHandle> postAfter(Duration delay, Task& task);
    std::optional<MonotonicTime> now();
    void retire();

private:
    std::mutex mutex_;
    Executor* executor_;
};
} // namespace timer

// A weak reference to an executor: posting through it after the executor is gone does nothing.
// OS callbacks hold one so a late completion cannot touch a destroyed queue.
class ExecutorHandle {
public:
    ExecutorHandle() = default;
    explicit ExecutorHandle(Executor& executor);
    // False (and the task dropped) when the executor is gone or none was bound.
    bool post(Task task) const;
    // An empty handle (nothing scheduled) when the executor is gone.
    TimerHandle postAfter(Duration delay, Task task) const;
    // The executor's time; nothing when it is gone.
    std::optional<MonotonicTime> now() const;
    explicit operator bool() const { return static_cast<bool>(anchor_); }

private:
    std::shared_ptr<timer::ExecutorAnchor> anchor_;
};

class Executor {
public:
    Executor() : anchor_(std::make_shared<timer::ExecutorAnchor>(this)) {}
    virtual ~Executor() { anchor_->retire(); }
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Runs `task` later on this executor, after everything posted before it. Any thread.
    virtual void post(Task task) = 0;
    // Runs `task` on this executor once `delay` has passed (a delay <= 0 means as soon as
    // possible). Timers due at the same time run in the order they were posted. Any thread.
    virtual TimerHandle postAfter(Duration delay, Task task) = 0;
    // Runs `task` on this executor after everything posted before it and waits for it; runs
    // inline when already on it, so re-entrant calls never deadlock. False when the task did not
    // run because the executor is shutting down or stopped. Must not be used to wait on a thread
    // that is itself waiting for the caller; the main thread uses it only to stop workers.
    virtual bool sync(Task task) = 0;
    // This executor's monotonic time. Any thread.
    virtual MonotonicTime now() const = 0;
    // True when the calling thread is currently running work of this executor.
    virtual bool isCurrent() const = 0;
    // True on the thread that objects confined to this executor may be used from: while it runs
    // their work, or, for a test's virtual-time executor, on the test's own thread.
    virtual bool isConfinedHere() const { return isCurrent(); }
    virtual std::string_view label() const = 0;

    ExecutorHandle handle() { return ExecutorHandle(*this); }

protected:
    // Derived destructors call this first, so handles stop posting before the executor's state goes.
    void retire() { anchor_->retire(); }

private:
    friend class ExecutorHandle;
    std::shared_ptr<timer::ExecutorAnchor> anchor_;
};

// Runs `fn(object)` on `executor` later, if the object still lives then: how an object
// reaches itself across a hop without keeping itself alive.
template <class T, class Fn>
void postIfAlive(Executor& executor, std::weak_ptr<T> object, Fn&& fn) {
    executor.post([object = std::move(object), fn = std::forward<Fn>(fn)]() mutable {
        if (auto self = object.lock()) fn(*self);
    });
}

template <class T, class Fn>
TimerHandle postIfAliveAfter(Executor& executor, Duration delay, std::weak_ptr<T> object, Fn&& fn) {
    return executor.postAfter(delay, [object = std::move(object), fn = std::forward<Fn>(fn)]() mutable {
        if (auto self = object.lock()) fn(*self);
    });
}

} // namespace kiv

// Checks, in builds with assertions, that the caller is on the executor an object is confined to.
#define KIV_ASSERT_CONFINED(executor) assert((executor).isConfinedHere() && "called off its executor")
