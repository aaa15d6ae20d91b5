#include "QtMainExecutor.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <cstdint>

#include "KivHostCore/Runtime/SyncWait.hpp"
#include "KivHostCore/Runtime/TimerQueue.hpp"

namespace kiv::app {

// Tasks go through our own locked queue, and an eventfd watched on the GUI thread says there is
// work. Nothing Qt allocates crosses threads, so every hand-over is one ThreadSanitizer can see
// (Qt's own locks are invisible to it), and the order is first in, first out.
QtMainExecutor::QtMainExecutor(std::chrono::milliseconds syncPatience)
    : syncPatience_(syncPatience), context_(new QObject), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    auto* notifier = new QSocketNotifier(wake_, QSocketNotifier::Read, context_);
    QObject::connect(notifier, &QSocketNotifier::activated, context_, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(wake_, &count, sizeof count);
        runPending();
    });
    if (auto* app = QCoreApplication::instance()) context_->moveToThread(app->thread());
}

QtMainExecutor::~QtMainExecutor() {
    retire();
    delete context_; // with the notifier: nothing runs here any more
    context_ = nullptr;
    ::close(wake_);
    std::deque<Task> dropped; // the tasks that would have run, destroyed outside the lock
    const std::lock_guard lock(mutex_);
    dropped.swap(pending_);
}

void QtMainExecutor::enqueue(Task task) {
    if (!context_) return; // posted while the executor is being destroyed: dropped with `task`
    {
        const std::lock_guard lock(mutex_);
        pending_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto wrote = ::write(wake_, &one, sizeof one);
}

bool QtMainExecutor::runPending() {
    // What is queued now; tasks they post wake the notifier again, so the widgets get a turn.
    std::size_t count = 0;
    {
        const std::lock_guard lock(mutex_);
        count = pending_.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        Task task;
        {
            const std::lock_guard lock(mutex_);
            if (pending_.empty()) break;
            task = std::move(pending_.front());
            pending_.pop_front();
        }
        task();
    }
    return count > 0;
}

void QtMainExecutor::post(Task task) {
    enqueue(std::move(task));
}

TimerHandle QtMainExecutor::postAfter(Duration delay, Task task) {
    auto state = std::make_shared<timer::TimerState>(std::move(task));
    const auto ms = std::max<std::int64_t>(0, (delay.count() + 999) / 1000);
    enqueue([context = context_, state, ms] {
        QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, context, [state] { state->fire(); });
    });
    return TimerHandle(state);
}

namespace {
// Travels with the queued task: dropped unrun (the executor went), it releases the caller.
struct SyncTicket {
    std::shared_ptr<SyncWait> wait;
    explicit SyncTicket(std::shared_ptr<SyncWait> w) : wait(std::move(w)) {}
    SyncTicket(SyncTicket&&) = delete;
    ~SyncTicket() { wait->refuse(); }
};
} // namespace

bool QtMainExecutor::sync(Task task) {
    if (isCurrent()) {
        task();
        return true;
    }
    auto wait = std::make_shared<SyncWait>();
    enqueue([ticket = std::make_unique<SyncTicket>(wait), &task] {
        if (!ticket->wait->start()) return; // the caller gave up: `task` is gone
        task();
        ticket->wait->set(SyncWait::Phase::done);
    });
    std::unique_lock lock(wait->mutex);
    const auto settled = [&] {
        return wait->phase == SyncWait::Phase::done || wait->phase == SyncWait::Phase::refused;
    };
    if (!wait->cv.wait_for(lock, syncPatience_, settled) && wait->phase == SyncWait::Phase::queued)
        wait->phase = SyncWait::Phase::refused; // not started: it never will
    wait->cv.wait(lock, settled);               // started meanwhile: it finishes with our references
    return wait->phase == SyncWait::Phase::done;
}

MonotonicTime QtMainExecutor::now() const {
    return std::chrono::duration_cast<MonotonicTime>(std::chrono::steady_clock::now().time_since_epoch());
}

void QtMainExecutor::drain() {
    for (int round = 0; round < 100 && runPending(); ++round) {
    }
}

bool QtMainExecutor::isCurrent() const {
    return QThread::currentThread() == context_->thread();
}

} // namespace kiv::app
