#include "AsioTimerDriver.hpp"

#include <asio/post.hpp>

namespace kiv {

MonotonicTime steadyNow() {
    return std::chrono::duration_cast<MonotonicTime>(std::chrono::steady_clock::now().time_since_epoch());
}

AsioTimerDriver::AsioTimerDriver(asio::io_context& context, Deliver deliver)
    : strand_(asio::make_strand(context)), timer_(strand_), deliver_(std::move(deliver)) {}

TimerHandle AsioTimerDriver::schedule(Duration delay, Task task) {
    const auto due = steadyNow() + std::max(delay, Duration::zero());
    auto added = timers_.add(due, std::move(task));
    if (added.becameEarliest) {
        asio::post(strand_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->rearm();
        });
    }
    return added.handle;
}

void AsioTimerDriver::shutdown() {
    stopped_ = true;
    timers_.clear();
    asio::post(strand_, [self = shared_from_this()] { self->timer_.cancel(); });
}

void AsioTimerDriver::rearm() {
    if (stopped_) return;
    const auto next = timers_.nextDue();
    if (!next) return;
    timer_.expires_at(
        std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(*next)));
    timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        if (auto self = weak.lock()) self->onWake(error);
    });
}

void AsioTimerDriver::onWake(const std::error_code& error) {
    // A cancelled wait means a re-arm replaced it; that re-arm has its own wait.
    if (error == asio::error::operation_aborted || stopped_) return;
    for (auto& state : timers_.takeDue(steadyNow()))
        deliver_(std::move(state));
    rearm();
}

} // namespace kiv
