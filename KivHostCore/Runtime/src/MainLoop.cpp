#include "KivHostCore/Runtime/MainLoop.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>

#include "AsioTimerDriver.hpp"
#include "KivHostCore/Runtime/SyncWait.hpp"

namespace kiv {

struct MainLoop::Impl {
    // Refuses new waiters and releases the ones whose task has not started.
    void refuseWaiters() {
        std::set<std::shared_ptr<SyncWait>> waiting;
        {
            const std::lock_guard lock(waitMutex);
            stopped = true;
            waiting.swap(waiters);
        }
        for (const auto& wait : waiting)
            if (!wait->refuse()) wait->cv.notify_all();
    }

    std::mutex waitMutex;
    bool stopped = false; // guarded by waitMutex; set by stop() until run() starts again
    std::set<std::shared_ptr<SyncWait>> waiters;
    asio::io_context context{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{context.get_executor()};
    std::shared_ptr<AsioTimerDriver> timers;
    std::atomic<bool> running{false};
    // Set as the loop is destroyed: work still queued is destroyed with it, and what that work
    // posts as it goes is dropped instead of reaching a context that is going away.
    std::atomic<bool> closed{false};
};

MainLoop::MainLoop() : impl_(std::make_shared<Impl>()) {
    impl_->timers = std::make_shared<AsioTimerDriver>(
        impl_->context, [weak = std::weak_ptr<Impl>(impl_)](std::shared_ptr<timer::TimerState> state) {
            // Timer wake-ups run on the driver's strand; the task itself runs as ordinary main-loop work.
            if (auto impl = weak.lock()) asio::post(impl->context, [state] { state->fire(); });
        });
}

MainLoop::~MainLoop() {
    impl_->closed = true;
    retire();
    impl_->refuseWaiters();
    impl_->timers->shutdown();
    impl_->guard.reset();
    impl_->context.stop();
}

void MainLoop::run() {
    {
        const std::lock_guard lock(impl_->waitMutex);
        impl_->stopped = false;
    }
    impl_->running = true;
    if (impl_->context.stopped()) impl_->context.restart();
    impl_->context.run();
    impl_->running = false;
    impl_->refuseWaiters();
}

void MainLoop::stop() {
    impl_->refuseWaiters();
    impl_->context.stop();
}

bool MainLoop::isRunning() const {
    return impl_->running;
}

void MainLoop::post(Task task) {
    if (impl_->closed) return;
    asio::post(impl_->context, std::move(task));
}

TimerHandle MainLoop::postAfter(Duration delay, Task task) {
    return impl_->timers->schedule(delay, std::move(task));
}

bool MainLoop::sync(Task task) {
    if (isCurrent()) {
        task();
        return true;
    }
    auto wait = std::make_shared<SyncWait>();
    {
        const std::lock_guard lock(impl_->waitMutex);
        if (impl_->stopped) return false;
        impl_->waiters.insert(wait);
    }
    post([wait, &task, impl = impl_.get()] {
        if (!wait->start()) return; // the caller gave up: `task` is gone
        task();
        wait->set(SyncWait::Phase::done);
        const std::lock_guard lock(impl->waitMutex);
        impl->waiters.erase(wait);
    });
    std::unique_lock lock(wait->mutex);
    wait->cv.wait(lock,
                  [&] { return wait->phase == SyncWait::Phase::done || wait->phase == SyncWait::Phase::refused; });
    const bool ran = wait->phase == SyncWait::Phase::done;
    lock.unlock();
    if (!ran) {
        const std::lock_guard registry(impl_->waitMutex);
        impl_->waiters.erase(wait);
    }
    return ran;
}

MonotonicTime MainLoop::now() const {
    return steadyNow();
}

bool MainLoop::isCurrent() const {
    return impl_->context.get_executor().running_in_this_thread();
}

asio::io_context& MainLoop::context() {
    return impl_->context;
}

} // namespace kiv
