#pragma once
// The host's main executor on Qt's event loop: the service, its sessions and the application
// model run on the GUI thread, between the widgets' events. Timers are Qt precise timers.
#include <QObject>
#include <chrono>
#include <deque>
#include <mutex>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv::app {

class QtMainExecutor final : public Executor {
public:
    // A sync from another thread gives up after `syncPatience` when its task has not started
    // (the GUI thread is stuck or gone); the task then never runs.
    explicit QtMainExecutor(std::chrono::milliseconds syncPatience = std::chrono::seconds(30));
    ~QtMainExecutor() override;

    void post(Task task) override;                             // any thread
    TimerHandle postAfter(Duration delay, Task task) override; // any thread
    // Inline on the GUI thread; from another thread it waits for the event loop to run the task,
    // or returns false without it when the task has not started within the patience (or the
    // executor is destroyed first). A task that has started is always waited for.
    bool sync(Task task) override;
    MonotonicTime now() const override;
    bool isCurrent() const override;
    std::string_view label() const override { return "main"; }
    // Runs what is already posted (GUI thread). Before the service goes: a task that holds a
    // session must run or be dropped while the objects the session refers to still exist.
    void drain();

private:
    void enqueue(Task task);
    bool runPending(); // on the GUI thread; false when there was nothing

    const std::chrono::milliseconds syncPatience_;
    QObject* context_; // lives on the GUI thread, with the notifier that watches wake_
    int wake_;         // eventfd: written when a task is queued
    std::mutex mutex_;
    std::deque<Task> pending_;
};

} // namespace kiv::app
