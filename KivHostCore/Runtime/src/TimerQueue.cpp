#include "KivHostCore/Runtime/TimerQueue.hpp"

namespace kiv {

namespace timer {

void TimerState::fire() {
    Task task;
    {
        const std::lock_guard lock(mutex_);
        task = std::move(task_);
        task_ = nullptr;
    }
    if (task) task();
}

void TimerState::cancel() {
    Task dropped;
    {
        const std::lock_guard lock(mutex_);
        dropped = std::move(task_);
        task_ = nullptr;
    }
    // `dropped` is destroyed here, outside the lock: its captures may cancel other timers.
}

bool TimerState::isPending() const {
    const std::lock_guard lock(mutex_);
    return static_cast<bool>(task_);
}

bool ExecutorAnchor::post(Task& task) {
    const std::lock_guard lock(mutex_);
    if (executor_ == nullptr) return false;
    executor_->post(std::move(task));
    return true;
}

std::optional<TimerHandle> ExecutorAnchor::postAfter(Duration delay, Task& task) {
    const std::lock_guard lock(mutex_);
    if (executor_ == nullptr) return std::nullopt;
    return executor_->postAfter(delay, std::move(task));
}

std::optional<MonotonicTime> ExecutorAnchor::now() {
    const std::lock_guard lock(mutex_);
    if (executor_ == nullptr) return std::nullopt;
    return executor_->now();
}

void ExecutorAnchor::retire() {
    const std::lock_guard lock(mutex_);
    executor_ = nullptr;
}

} // namespace timer

ExecutorHandle::ExecutorHandle(Executor& executor) : anchor_(executor.anchor_) {}

bool ExecutorHandle::post(Task task) const {
    return anchor_ && anchor_->post(task);
}

TimerHandle ExecutorHandle::postAfter(Duration delay, Task task) const {
    if (!anchor_) return {};
    return anchor_->postAfter(delay, task).value_or(TimerHandle{});
}

std::optional<MonotonicTime> ExecutorHandle::now() const {
    if (!anchor_) return std::nullopt;
    return anchor_->now();
}

void TimerHandle::cancel() {
    if (state_) state_->cancel();
}

bool TimerHandle::isPending() const {
    return state_ && state_->isPending();
}

ScopedTimer& ScopedTimer::operator=(ScopedTimer&& other) noexcept {
    if (this != &other) {
        handle_.cancel();
        handle_ = std::exchange(other.handle_, {});
    }
    return *this;
}

ScopedTimer& ScopedTimer::operator=(TimerHandle handle) {
    handle_.cancel();
    handle_ = std::move(handle);
    return *this;
}

TimerQueue::Added TimerQueue::add(MonotonicTime due, Task task) {
    auto state = std::make_shared<timer::TimerState>(std::move(task));
    const std::lock_guard lock(mutex_);
    dropCancelledLocked();
    const bool earliest = heap_.empty() || due < heap_.top().due;
    heap_.push(Entry{due, nextSequence_++, state});
    return Added{TimerHandle(state), earliest};
}

std::optional<MonotonicTime> TimerQueue::nextDue() {
    const std::lock_guard lock(mutex_);
    dropCancelledLocked();
    if (heap_.empty()) return std::nullopt;
    return heap_.top().due;
}

std::vector<std::shared_ptr<timer::TimerState>> TimerQueue::takeDue(MonotonicTime now) {
    std::vector<std::shared_ptr<timer::TimerState>> due;
    const std::lock_guard lock(mutex_);
    while (!heap_.empty() && heap_.top().due <= now) {
        if (heap_.top().state->isPending()) due.push_back(heap_.top().state);
        heap_.pop();
    }
    return due;
}

std::optional<std::pair<MonotonicTime, std::shared_ptr<timer::TimerState>>> TimerQueue::takeNext(MonotonicTime limit) {
    const std::lock_guard lock(mutex_);
    dropCancelledLocked();
    if (heap_.empty() || heap_.top().due > limit) return std::nullopt;
    auto entry = heap_.top();
    heap_.pop();
    return std::make_pair(entry.due, std::move(entry.state));
}

void TimerQueue::clear() {
    std::vector<std::shared_ptr<timer::TimerState>> dropped;
    {
        const std::lock_guard lock(mutex_);
        while (!heap_.empty()) {
            dropped.push_back(heap_.top().state);
            heap_.pop();
        }
    }
    for (auto& state : dropped)
        state->cancel();
}

void TimerQueue::dropCancelledLocked() {
    while (!heap_.empty() && !heap_.top().state->isPending())
        heap_.pop();
}

} // namespace kiv
