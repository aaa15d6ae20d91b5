#include "KivHostCore/Runtime/MainLoop.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <atomic>
#include <future>
#include <optional>

#include "AsioTimerDriver.hpp"

namespace kiv {

struct MainLoop::Impl {
    asio::io_context context{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{context.get_executor()};
    std::shared_ptr<AsioTimerDriver> timers;
    std::atomic<bool> running{false};
};

MainLoop::MainLoop() : impl_(std::make_shared<Impl>()) {
    impl_->timers = std::make_shared<AsioTimerDriver>(
        impl_->context, [weak = std::weak_ptr<Impl>(impl_)](std::shared_ptr<timer::TimerState> state) {
            // Timer wake-ups run on the driver's strand; the task itself runs as ordinary main-loop work.
            if (auto impl = weak.lock()) asio::post(impl->context, [state] { state->fire(); });
        });
}

MainLoop::~MainLoop() {
    retire();
    impl_->timers->shutdown();
    impl_->guard.reset();
    impl_->context.stop();
}

void MainLoop::run() {
    impl_->running = true;
    if (impl_->context.stopped()) impl_->context.restart();
    impl_->context.run();
    impl_->running = false;
}

void MainLoop::stop() { impl_->context.stop(); }

bool MainLoop::isRunning() const { return impl_->running; }

void MainLoop::post(Task task) { asio::post(impl_->context, std::move(task)); }

TimerHandle MainLoop::postAfter(Duration delay, Task task) { return impl_->timers->schedule(delay, std::move(task)); }

void MainLoop::sync(Task task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    post([&] {
        task();
        done.set_value();
    });
    finished.wait();
}

MonotonicTime MainLoop::now() const { return steadyNow(); }

bool MainLoop::isCurrent() const { return impl_->context.get_executor().running_in_this_thread(); }

asio::io_context& MainLoop::context() { return impl_->context; }

} // namespace kiv
