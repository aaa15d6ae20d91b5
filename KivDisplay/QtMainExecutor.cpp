#include "QtMainExecutor.hpp"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <future>

#include "KivHostCore/Runtime/TimerQueue.hpp"

namespace kiv::app {

QtMainExecutor::QtMainExecutor() : context_(new QObject) {
    if (auto* app = QCoreApplication::instance()) context_->moveToThread(app->thread());
}

QtMainExecutor::~QtMainExecutor() {
    retire();
    delete context_; // pending queued calls to it are dropped with it
}

void QtMainExecutor::post(Task task) {
    // Qt copies functors; the task is move-only, so it travels behind a shared pointer.
    auto shared = std::make_shared<Task>(std::move(task));
    QMetaObject::invokeMethod(context_, [shared] { (*shared)(); }, Qt::QueuedConnection);
}

TimerHandle QtMainExecutor::postAfter(Duration delay, Task task) {
    auto state = std::make_shared<timer::TimerState>(std::move(task));
    const auto ms = std::max<std::int64_t>(0, (delay.count() + 999) / 1000);
    QMetaObject::invokeMethod(
        context_,
        [context = context_, state, ms] {
            QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, context, [state] { state->fire(); });
        },
        Qt::QueuedConnection);
    return TimerHandle(state);
}

bool QtMainExecutor::sync(Task task) {
    if (isCurrent()) {
        task();
        return true;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    auto shared = std::make_shared<Task>(std::move(task));
    QMetaObject::invokeMethod(context_, [shared, done] {
        (*shared)();
        done->set_value();
    }, Qt::QueuedConnection);
    return finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

MonotonicTime QtMainExecutor::now() const {
    return std::chrono::duration_cast<MonotonicTime>(std::chrono::steady_clock::now().time_since_epoch());
}

void QtMainExecutor::drain() {
    for (int round = 0; round < 100; ++round) QCoreApplication::sendPostedEvents(context_, QEvent::MetaCall);
}

bool QtMainExecutor::isCurrent() const { return QThread::currentThread() == context_->thread(); }

} // namespace kiv::app
