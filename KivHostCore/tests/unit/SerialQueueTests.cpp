#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Runtime/OnceFlag.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"
#include "KivHostCore/Testing/Signal.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using kiv::test::Signal;

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
    for (auto& thread : threads)
        thread.join();
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
    Signal allDone;
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
            if (++done == 6) allDone.notify();
        });
    }
    ASSERT_TRUE(allDone.waitFor());
    target.sync([] {});
    ASSERT_EQ(order.size(), 7u);
    EXPECT_EQ(order.front(), 1);
}

TEST(SerialQueue, LabelAndTimersOnTheQueue) {
    SerialQueue queue("kiv.video");
    EXPECT_EQ(queue.label(), "kiv.video");
    std::atomic<bool> onQueue{false};
    Signal fired;
    queue.after(1ms, [&] {
        onQueue = queue.isCurrent();
        fired.notify();
    });
    EXPECT_TRUE(fired.waitFor());
    EXPECT_TRUE(onQueue);
}

// The main thread waiting for a queue must never end up running that queue's backlog (an encode,
// a display settle) itself: only the pool's workers do.
TEST(SerialQueue, SyncFromOutsideThePoolWaitsForTheBacklogWithoutRunningIt) {
    WorkerPool pool(1);
    SerialQueue blocker("kiv.test.blocker", pool);
    SerialQueue target("kiv.test.target", pool);
    Signal release;
    blocker.async([&] { release.waitFor(); }); // the pool's only worker is busy
    std::atomic<bool> backlogOnWorker{false};
    target.async([&] { backlogOnWorker = pool.runsOnThisThread(); });
    Signal synced;
    std::thread caller([&] {
        EXPECT_TRUE(target.sync([] {}));
        synced.notify();
    });
    EXPECT_FALSE(synced.waitFor(200ms)) << "the caller ran the backlog itself instead of waiting";
    release.notify();
    EXPECT_TRUE(synced.waitFor());
    caller.join();
    EXPECT_TRUE(backlogOnWorker);
}

TEST(SerialQueue, OwnThreadQueuesKeepTheSharedPoolFree) {
    SerialQueue encoder("kiv.encoder", SerialQueue::ownThread);
    Signal release;
    Signal blocked;
    encoder.async([&] {
        blocked.notify();
        release.waitFor();
    });
    ASSERT_TRUE(blocked.waitFor());
    // Every shared worker is still free while the encoder's thread is busy.
    std::vector<std::unique_ptr<SerialQueue>> others;
    Signal allRan;
    std::atomic<unsigned> ran{0};
    const unsigned workers = WorkerPool::shared().threadCount();
    for (unsigned i = 0; i < workers; ++i) {
        others.push_back(std::make_unique<SerialQueue>("kiv.test.other"));
        others.back()->async([&] {
            if (++ran == workers) allRan.notify();
        });
    }
    EXPECT_TRUE(allRan.waitFor());
    release.notify();
    EXPECT_TRUE(encoder.sync([] {}));
}

TEST(MainLoop, SyncIsRefusedOnceTheLoopStopsEvenForAWaitingCaller) {
    MainLoop loop;
    std::thread thread([&] { loop.run(); });
    Signal release;
    Signal busy;
    loop.post([&] {
        busy.notify();
        release.waitFor();
    });
    ASSERT_TRUE(busy.waitFor());
    std::atomic<bool> ran{false};
    std::atomic<bool> result{true};
    std::thread waiter([&] { result = loop.sync([&] { ran = true; }); });
    loop.stop(); // the waiter may be queued behind the busy task or not yet registered: refused both ways
    release.notify();
    waiter.join();
    thread.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(loop.sync([&] { ran = true; })) << "a stopped loop refuses at once";
    EXPECT_FALSE(ran);
}

TEST(OnceFlag, OnlyTheFirstOfConcurrentPathsCompletes) {
    OnceFlag flag;
    std::atomic<int> completions{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] { flag.run([&] { ++completions; }); });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(flag.isDone());
    EXPECT_FALSE(flag.tryClaim());
}
