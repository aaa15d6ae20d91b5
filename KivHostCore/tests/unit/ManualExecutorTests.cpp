#include <gtest/gtest.h>
#include <vector>

#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using namespace std::chrono_literals;

TEST(ManualExecutor, TimeMovesOnlyWhenAdvancedAndBoundariesAreExact) {
    ManualExecutor main;
    const auto start = main.now();
    bool fired = false;
    main.postAfter(10s, [&] { fired = true; });
    main.runUntilIdle();
    EXPECT_EQ(main.now(), start);
    main.advance(9'999ms);
    EXPECT_FALSE(fired);
    EXPECT_EQ(main.nextPendingDelay(), Duration(1ms));
    main.advance(1ms);
    EXPECT_TRUE(fired);
    EXPECT_EQ(main.now(), start + 10s);
    EXPECT_FALSE(main.nextPendingDelay().has_value());
}

TEST(ManualExecutor, EachTimerSeesItsOwnDueTimeAndChainedTimersFireWithinOneAdvance) {
    ManualExecutor main;
    const auto start = main.now();
    std::vector<Duration> seen;
    // A 1 s watchdog re-arming itself, like a keepalive check.
    std::function<void()> tick = [&] {
        seen.push_back(main.now() - start);
        if (seen.size() < 5) main.postAfter(1s, tick);
    };
    main.postAfter(1s, tick);
    main.advance(10s);
    EXPECT_EQ(seen, (std::vector<Duration>{1s, 2s, 3s, 4s, 5s}));
    EXPECT_EQ(main.now(), start + 10s);
}

TEST(ManualExecutor, CancelledTimersDoNotCountAsPendingAndRunNextTimerSkipsToTheNextOne) {
    ManualExecutor main;
    auto early = main.postAfter(1s, [] {});
    int count = 0;
    main.postAfter(3s, [&] { ++count; });
    early.cancel();
    EXPECT_EQ(main.nextPendingDelay(), Duration(3s));
    EXPECT_TRUE(main.runNextTimer());
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(main.runNextTimer());
}

TEST(ManualExecutor, ZeroDelayTimersRunInRunUntilIdle) {
    ManualExecutor main;
    std::vector<int> order;
    main.postAfter(0s, [&] { order.push_back(2); });
    main.post([&] { order.push_back(1); });
    EXPECT_EQ(main.runUntilIdle(), 2u);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}
