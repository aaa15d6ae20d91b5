#pragma once
// Wakes an Asio-backed executor when its earliest timer is due. One steady_timer, re-armed
// on a strand whenever an earlier timer arrives; due timers are handed to `deliver` in order.
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <functional>
#include <memory>

#include "KivHostCore/Runtime/TimerQueue.hpp"

namespace kiv {

MonotonicTime steadyNow();

class AsioTimerDriver : public std::enable_shared_from_this<AsioTimerDriver> {
public:
    using Deliver = std::function<void(std::shared_ptr<timer::TimerState>)>;

    AsioTimerDriver(asio::io_context& context, Deliver deliver);

    TimerHandle schedule(Duration delay, Task task);
    // Drops every pending timer and stops waking up. Any thread.
    void shutdown();

private:
    void rearm();
    void onWake(const std::error_code& error);

    asio::strand<asio::io_context::executor_type> strand_;
    asio::steady_timer timer_;
    TimerQueue timers_;
    Deliver deliver_;
    std::atomic<bool> stopped_{false};
};

} // namespace kiv
