#pragma once
// One suite of timing rules for every executor, so no implementation (or fake) can drift: a
// binary instantiates it with drivers for its executors (INSTANTIATE_TYPED_TEST_SUITE_P). Real
// executors run in real, short time; the manual one in virtual time.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <vector>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv::test::conformance {

using namespace std::chrono_literals;

// Thread-safe record of what ran, in order.
class Journal {
public:
    void add(int value) {
        const std::lock_guard lock(mutex_);
        values_.push_back(value);
    }
    std::vector<int> values() const {
        const std::lock_guard lock(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> values_;
};

// Generous real-time bound for one step of a real executor on a loaded machine.
constexpr auto kRealDeadline = 30s;

class Driver {
public:
    virtual ~Driver() = default;
    virtual Executor& executor() = 0;
    // Lets `by` pass on the executor's clock and runs everything due by then.
    virtual void advance(Duration by) = 0;
    // Runs everything already posted.
    virtual void drain() = 0;
};

// Real executors: waiting for a marker proves everything ordered before it has run.
class RealDriver : public Driver {
public:
    void advance(Duration by) override {
        waitFor([&](Task t) { executor().postAfter(by, std::move(t)); });
    }
    void drain() override {
        waitFor([&](Task t) { executor().post(std::move(t)); });
    }

private:
    void waitFor(const std::function<void(Task)>& schedule) {
        auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
        auto done = std::make_shared<bool>(false);
        schedule([state, done] {
            const std::lock_guard lock(state->first);
            *done = true;
            state->second.notify_all();
        });
        std::unique_lock lock(state->first);
        ASSERT_TRUE(state->second.wait_for(lock, kRealDeadline, [&] { return *done; })) << "executor stalled";
    }
};

template <class D>
class ExecutorConformance : public ::testing::Test {
protected:
    D driver;
    Executor& exec() { return driver.executor(); }
};
TYPED_TEST_SUITE_P(ExecutorConformance);

TYPED_TEST_P(ExecutorConformance, PostedWorkRunsInOrderOnTheExecutorAndNeverReentrantly) {
    Journal journal;
    std::atomic<bool> allOnExecutor{true};
    // Posted from one task so that all fifty are queued before the first runs.
    this->exec().post([&] {
        for (int i = 0; i < 50; ++i) {
            this->exec().post([&, i] {
                allOnExecutor = allOnExecutor && this->exec().isCurrent();
                journal.add(i);
                if (i == 0) this->exec().post([&] { journal.add(100); }); // queued behind 1..49
            });
        }
    });
    this->driver.drain();
    this->driver.drain();
    this->driver.drain();
    const auto values = journal.values();
    ASSERT_EQ(values.size(), 51u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(values[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(values.back(), 100);
    EXPECT_TRUE(allOnExecutor);
}

TYPED_TEST_P(ExecutorConformance, TimersFireInDueOrderThenPostingOrderAndNeverEarly) {
    Journal journal;
    std::mutex mutex;
    std::vector<Duration> lateness;
    const auto start = this->exec().now();
    const auto at = [&](int id, Duration delay) {
        this->exec().postAfter(delay, [&, id, delay] {
            journal.add(id);
            const std::lock_guard lock(mutex);
            lateness.push_back(this->exec().now() - start - delay);
        });
    };
    at(3, 30ms);
    at(1, 10ms);
    at(2, 20ms);
    at(4, 30ms); // same due time as 3: posted later, runs later
    at(0, 0ms);
    at(-1, -5ms); // negative delay means as soon as possible
    this->driver.advance(40ms);
    EXPECT_EQ(journal.values(), (std::vector<int>{0, -1, 1, 2, 3, 4}));
    for (const auto late : lateness)
        EXPECT_GE(late.count(), 0) << "a timer fired before its delay";
    EXPECT_GE((this->exec().now() - start).count(), Duration(40ms).count());
}

TYPED_TEST_P(ExecutorConformance, CancelledTimersNeverRunAndScopedTimersCancelOnReplace) {
    Journal journal;
    auto cancelled = this->exec().postAfter(10ms, [&] { journal.add(1); });
    EXPECT_TRUE(cancelled.isPending());
    cancelled.cancel();
    EXPECT_FALSE(cancelled.isPending());
    {
        ScopedTimer scoped = this->exec().postAfter(10ms, [&] { journal.add(2); });
    }
    ScopedTimer replaced = this->exec().postAfter(10ms, [&] { journal.add(3); });
    replaced = this->exec().postAfter(15ms, [&] { journal.add(4); });
    // A timer cancelled by an earlier task on the same executor does not run either.
    TimerHandle victim = this->exec().postAfter(20ms, [&] { journal.add(5); });
    this->exec().postAfter(10ms, [victim]() mutable { victim.cancel(); });
    auto fired = this->exec().postAfter(5ms, [&] { journal.add(6); });
    this->driver.advance(30ms);
    EXPECT_EQ(journal.values(), (std::vector<int>{6, 4}));
    EXPECT_FALSE(fired.isPending());
    fired.cancel(); // harmless after the fact
}

TYPED_TEST_P(ExecutorConformance, TimersAndPostsFromInsideTasksAreHonoured) {
    Journal journal;
    this->exec().post([&] {
        this->exec().postAfter(10ms, [&] {
            journal.add(2);
            this->exec().postAfter(0ms, [&] { journal.add(3); });
        });
        journal.add(1);
    });
    this->driver.advance(20ms);
    this->driver.drain();
    EXPECT_EQ(journal.values(), (std::vector<int>{1, 2, 3}));
}

TYPED_TEST_P(ExecutorConformance, SyncRunsInlineWhenAlreadyOnTheExecutor) {
    Journal journal;
    this->exec().post([&] {
        journal.add(1);
        this->exec().sync([&] { journal.add(2); }); // would deadlock if it queued behind us
        journal.add(3);
    });
    this->driver.drain();
    EXPECT_EQ(journal.values(), (std::vector<int>{1, 2, 3}));
}

TYPED_TEST_P(ExecutorConformance, SyncFromOutsideRunsAfterEarlierWorkAndIsCurrentOnlyInsideTasks) {
    Journal journal;
    std::atomic<bool> currentInside{false};
    this->exec().post([&] { journal.add(1); });
    this->exec().post([&] { journal.add(2); });
    EXPECT_TRUE(this->exec().sync([&] {
        journal.add(3);
        currentInside = this->exec().isCurrent();
    }));
    EXPECT_EQ(journal.values(), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(currentInside);
    EXPECT_FALSE(this->exec().isCurrent()) << "the test's thread is not running the executor's work";
}

TYPED_TEST_P(ExecutorConformance, NowIsMonotonic) {
    auto previous = this->exec().now();
    for (int i = 0; i < 5; ++i) {
        this->driver.advance(1ms);
        const auto current = this->exec().now();
        EXPECT_GE(current, previous + 1ms);
        previous = current;
    }
}

REGISTER_TYPED_TEST_SUITE_P(ExecutorConformance, PostedWorkRunsInOrderOnTheExecutorAndNeverReentrantly,
                            TimersFireInDueOrderThenPostingOrderAndNeverEarly,
                            CancelledTimersNeverRunAndScopedTimersCancelOnReplace,
                            TimersAndPostsFromInsideTasksAreHonoured, SyncRunsInlineWhenAlreadyOnTheExecutor,
                            SyncFromOutsideRunsAfterEarlierWorkAndIsCurrentOnlyInsideTasks, NowIsMonotonic);

} // namespace kiv::test::conformance
