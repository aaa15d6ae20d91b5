#include <gtest/gtest.h>

#include "KivProtocol/ClockSync.hpp"
#include "KivProtocol/HostClock.hpp"

using namespace kiv;

TEST(ClockSync, WorkedExampleGivesRttOffsetAndClientTime) {
    ClockSync sync(8);
    EXPECT_FALSE(sync.offsetUs() || sync.rttUs() || sync.minRttUs() || sync.toClient(1));
    sync.add(1'000, 5'100, 5'300, 1'600);
    EXPECT_EQ(sync.rttUs(), 400u);
    EXPECT_EQ(sync.offsetUs(), 3'900);
    EXPECT_EQ(sync.toClient(5'300), 1'400u);
    EXPECT_EQ(sync.toClient(100), 0u) << "host times before the offset clamp to 0";
}

TEST(ClockSync, DegenerateExchanges) {
    ClockSync sync(4);
    sync.add(2'000, 10, 20, 1'999); // pong "before" ping: ignored
    EXPECT_TRUE(sync.samples().empty());
    sync.add(1'000, 5'000, 9'000, 1'100); // host time exceeds round trip
    EXPECT_EQ(sync.rttUs(), 0u);
    sync.add(1'000, 5'000, 4'000, 1'100); // host stamps reversed: whole round trip counts
    EXPECT_EQ(sync.rttUs(), 100u);
    // Offsets can be negative (client clock ahead of the host's).
    ClockSync negative(2);
    negative.add(10'000, 100, 100, 10'200);
    EXPECT_EQ(negative.offsetUs(), -10'000);
    EXPECT_EQ(negative.toClient(50), 10'050u);
}

TEST(ClockSync, WindowKeepsCapacityAndBestSampleSuppliesTheOffset) {
    ClockSync sync(3);
    sync.add(0, 1'000, 1'000, 100); // rtt 100, offset 950
    sync.add(0, 2'000, 2'000, 300); // rtt 300
    sync.add(0, 3'000, 3'000, 100); // rtt 100 again: the older one wins the tie
    EXPECT_EQ(sync.offsetUs(), 950);
    sync.add(0, 4'000, 4'000, 500); // drops the first sample
    EXPECT_EQ(sync.samples().size(), 3u);
    EXPECT_EQ(sync.offsetUs(), 2'950);
    EXPECT_EQ(sync.rttUs(), 500u) << "rtt is always the newest exchange";
    EXPECT_EQ(sync.minRttUs(), 100u);
}

TEST(HostClock, MediaTimeConversion) {
    EXPECT_EQ(HostClock::micros({1, 1, false}), 0u);
    EXPECT_EQ(HostClock::micros({1, 0, true}), 0u);
    EXPECT_EQ(HostClock::micros({-5, 1000, true}), 0u);
    EXPECT_EQ(HostClock::micros({1999, 1000, true}), 1'999'000u);
    EXPECT_EQ(HostClock::micros({1'000'000'001, 1'000'000'000, true}), 1'000'000u) << "rounds toward zero";
    EXPECT_EQ(HostClock::micros({INT64_MAX, 1'000'000'000, true}), 9'223'372'036'854'775u) << "no overflow";
    const auto a = HostClock::nowMicros();
    const auto b = HostClock::nowMicros();
    EXPECT_GT(a, 0u);
    EXPECT_LE(a, b);
}
