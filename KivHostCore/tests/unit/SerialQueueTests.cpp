#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "KivHostCore/Runtime/OnceFlag.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"

using namespace kiv;
using namespace std::chrono_literals;

TEST(SerialQueue, TasksFromManyThreadsNeverOverlap) {
    SerialQueue queue("kiv.test.exclusive");
    int counter = 0; // deliberately unsynchronised: the queue is the only guard (TSan checks it)
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                auto body = [&] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    ++counter;
                    inside.fetch_sub(1);
                };
                if (i % 10 == 0) {
                    queue.sync(body);
                } else {
                    queue.async(body);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    int result = 0;
    queue.sync([&] { result = counter; });
    EXPECT_EQ(result, 2000);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, NestedSyncChainsThatComeBackRunInline) {
    SerialQueue a("kiv.test.a");
    SerialQueue b("kiv.test.b");
    std::vector<std::string> order;
    a.sync([&] {
        order.push_back("a");
        EXPECT_TRUE(a.isCurrent());
        b.sync([&] {
            order.push_back("b");
            EXPECT_TRUE(a.isCurrent() && b.isCurrent());
            a.sync([&] { order.push_back("a again"); });
        });
    });
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "a again"}));
    EXPECT_FALSE(a.isCurrent());
}

TEST(SerialQueue, SyncWaitsForEarlierAsyncWorkAndManySyncCallersDoNotStarveTheSmallPool) {
    WorkerPool pool(2);
    SerialQueue target("kiv.test.target", pool);
    std::vector<std::unique_ptr<SerialQueue>> callers;
    std::atomic<int> done{0};
    std::vector<int> order;
    target.async([&] {
        std::this_thread::sleep_for(5ms);
        order.push_back(1);
    });
    // More queues than worker threads each sync onto the target from their own task.
    for (int i = 0; i < 6; ++i) {
        callers.push_back(std::make_unique<SerialQueue>("kiv.test.caller", pool));
        callers.back()->async([&, i] {
            target.sync([&, i] { order.push_back(10 + i); });
            ++done;
        });
    }
    ASSERT_TRUE([&] {
        for (int i = 0; i < 3000 && done < 6; ++i) std::this_thread::sleep_for(10ms);
        return done == 6;
    }());
    target.sync([] {});
    ASSERT_EQ(order.size(), 7u);
    EXPECT_EQ(order.front(), 1);
}

TEST(SerialQueue, LabelAndTimersOnTheQueue) {
    SerialQueue queue("kiv.video");
    EXPECT_EQ(queue.label(), "kiv.video");
    std::atomic<bool> onQueue{false};
    std::atomic<bool> fired{false};
    queue.after(1ms, [&] {
        onQueue = queue.isCurrent();
        fired = true;
    });
    for (int i = 0; i < 3000 && !fired; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(fired);
    EXPECT_TRUE(onQueue);
}

TEST(OnceFlag, OnlyTheFirstOfConcurrentPathsCompletes) {
    OnceFlag flag;
    std::atomic<int> completions{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { flag.run([&] { ++completions; }); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(flag.isDone());
    EXPECT_FALSE(flag.tryClaim());
}
