#include "KivHostCore/Runtime/SerialQueue.hpp"

#include <algorithm>
#include <asio/post.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "AsioTimerDriver.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

namespace {
// Queues whose turn the current thread holds, innermost last.
thread_local std::vector<const SerialQueue::Impl*> tHeldQueues;

struct HeldScope {
    explicit HeldScope(const SerialQueue::Impl* queue) { tHeldQueues.push_back(queue); }
    ~HeldScope() { tHeldQueues.pop_back(); }
    HeldScope(const HeldScope&) = delete;
    HeldScope& operator=(const HeldScope&) = delete;
};

// A worker drain gives other queues a turn after this many tasks.
constexpr int kTasksPerDrain = 64;

// A sync caller's place in the queue.
struct Turn {
    bool granted = false;
};
} // namespace

// One thread at a time is "active" for a queue: a worker draining it, or a sync caller.
struct SerialQueue::Impl : std::enable_shared_from_this<SerialQueue::Impl> {
    struct Item {
        Task task;
        std::shared_ptr<Turn> turn;
    };
    enum class Outcome { ownTurn, handedOver, idle };

    Impl(std::string queueLabel, WorkerPool& workers) : label(std::move(queueLabel)), pool(workers) {}

    void enqueue(Task task) {
        bool schedule = false;
        {
            const std::lock_guard lock(mutex);
            if (closed) return;
            items.push_back(Item{std::move(task), nullptr});
            if (!active && !drainScheduled) schedule = drainScheduled = true;
        }
        if (schedule) scheduleDrain();
    }

    void scheduleDrain() {
        asio::post(pool.context(), [self = shared_from_this()] { self->drainJob(); });
    }

    void drainJob() {
        {
            const std::lock_guard lock(mutex);
            drainScheduled = false;
            if (active || closed || items.empty()) return;
            active = true;
        }
        runItems(nullptr, kTasksPerDrain);
    }

    // Runs queued items as the active thread until `ownTurn` comes up, another sync caller's
    // turn is granted, the queue empties, or `limit` tasks ran (then a new drain is scheduled).
    Outcome runItems(const std::shared_ptr<Turn>& ownTurn, int limit) {
        const HeldScope held(this);
        for (int ran = 0;; ++ran) {
            Item item;
            {
                std::unique_lock lock(mutex);
                if (closed || items.empty() || ran == limit) {
                    const bool reschedule = !closed && !items.empty() && !drainScheduled;
                    if (reschedule) drainScheduled = true;
                    active = false;
                    lock.unlock();
                    cv.notify_all();
                    if (reschedule) scheduleDrain();
                    return Outcome::idle;
                }
                item = std::move(items.front());
                items.pop_front();
                if (item.turn) {
                    if (item.turn == ownTurn) return Outcome::ownTurn;
                    item.turn->granted = true; // the queue passes to that caller, still active
                    lock.unlock();
                    cv.notify_all();
                    return Outcome::handedOver;
                }
            }
            item.task();
        }
    }

    // The active sync caller is done.
    void finish() {
        bool schedule = false;
        {
            const std::lock_guard lock(mutex);
            active = false;
            schedule = !closed && !items.empty() && !drainScheduled;
            if (schedule) drainScheduled = true;
        }
        cv.notify_all();
        if (schedule) scheduleDrain();
    }

    // True when the caller now holds the queue; false when the queue was closed. A worker of the
    // queue's own pool drives the queue itself when it is idle (so a pool whose threads all wait
    // in sync calls cannot starve); any other thread, the main thread above all, only waits for
    // the work ahead of it to finish and never runs it.
    bool waitForTurn() {
        const bool mayDrive = pool.runsOnThisThread();
        auto turn = std::make_shared<Turn>();
        std::unique_lock lock(mutex);
        if (closed) return false;
        if (!active && items.empty()) {
            active = true; // nothing ahead: the turn is ours at once
            return true;
        }
        items.push_back(Item{nullptr, turn});
        while (!turn->granted) {
            if (closed) return false;
            if (!active && mayDrive) {
                active = true;
                lock.unlock();
                const Outcome outcome = runItems(turn, -1);
                lock.lock();
                if (outcome == Outcome::ownTurn) return true;
                continue;
            }
            if (!active && !drainScheduled) {
                drainScheduled = true;
                lock.unlock();
                scheduleDrain();
                lock.lock();
                continue;
            }
            cv.wait(lock);
        }
        return !closed;
    }

    void close() {
        std::deque<Item> dropped;
        {
            const std::lock_guard lock(mutex);
            closed = true;
            dropped.swap(items);
        }
        cv.notify_all();
    }

    bool heldByThisThread() const {
        return std::find(tHeldQueues.begin(), tHeldQueues.end(), this) != tHeldQueues.end();
    }

    const std::string label;
    WorkerPool& pool;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Item> items;
    bool active = false;
    bool drainScheduled = false;
    bool closed = false;
    std::shared_ptr<AsioTimerDriver> timers;
};

SerialQueue::SerialQueue(std::string label) : SerialQueue(std::move(label), WorkerPool::shared()) {}

SerialQueue::SerialQueue(std::string label, OwnThread)
    : ownPool_(std::make_unique<WorkerPool>(1, label)), impl_(std::make_shared<Impl>(std::move(label), *ownPool_)) {
    startTimers();
}

SerialQueue::SerialQueue(std::string label, WorkerPool& pool) : impl_(std::make_shared<Impl>(std::move(label), pool)) {
    startTimers();
}

void SerialQueue::startTimers() {
    impl_->timers = std::make_shared<AsioTimerDriver>(
        impl_->pool.context(), [weak = std::weak_ptr<Impl>(impl_)](std::shared_ptr<timer::TimerState> state) {
            if (auto impl = weak.lock()) impl->enqueue([state] { state->fire(); });
        });
}

SerialQueue::~SerialQueue() {
    retire();
    impl_->timers->shutdown();
    impl_->close(); // waiting sync callers return without running their task
}

void SerialQueue::post(Task task) {
    impl_->enqueue(std::move(task));
}

TimerHandle SerialQueue::postAfter(Duration delay, Task task) {
    return impl_->timers->schedule(delay, std::move(task));
}

bool SerialQueue::sync(Task task) {
    const auto impl = impl_;
    if (impl->heldByThisThread()) {
        task();
        return true;
    }
    if (!impl->waitForTurn()) return false;
    {
        const HeldScope held(impl.get());
        task();
    }
    impl->finish();
    return true;
}

MonotonicTime SerialQueue::now() const {
    return steadyNow();
}

bool SerialQueue::isCurrent() const {
    return impl_->heldByThisThread();
}

std::string_view SerialQueue::label() const {
    return impl_->label;
}

} // namespace kiv
