#include <gtest/gtest.h>

#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {
std::uint64_t fakeCPU = 0;
std::uint64_t readFakeCPU() {
    return fakeCPU;
}
} // namespace

TEST(PerformanceMonitor, RatesOverElapsedVirtualTimeAndRunningDropTotals) {
    ManualExecutor clock;
    fakeCPU = 1'000'000;
    PerformanceMonitor monitor(clock, readFakeCPU);
    for (int i = 0; i < 30; ++i) {
        monitor.countCaptured();
        monitor.countEncoded(2'000, 10'000);
    }
    monitor.countEncoded(2'000, 0); // 31 encoded in all; the largest stays 10,000
    monitor.countSendDrop(SendDropReason::congestion, 4);
    monitor.countSendDrop(SendDropReason::superseded, 2);
    monitor.countSendDrop(SendDropReason::awaitingKeyframe, 1);
    clock.advance(1s);
    fakeCPU += 250'000;
    const auto first = monitor.sample();
    EXPECT_DOUBLE_EQ(first.captureFPS, 30);
    EXPECT_DOUBLE_EQ(first.encodeFPS, 31);
    EXPECT_DOUBLE_EQ(first.bitrateKbps, 2400);
    EXPECT_NEAR(first.avgFrameKB, 300'000.0 / 31 / 1024, 1e-9);
    EXPECT_NEAR(first.maxFrameKB, 9.765625, 1e-9);
    EXPECT_DOUBLE_EQ(first.encodeTimeMs, 2.0);
    EXPECT_DOUBLE_EQ(first.cpuPercent, 25.0);
    EXPECT_EQ(first.droppedSendFrames, 4);
    EXPECT_EQ(first.skippedSendFrames, 3);

    monitor.countSendDrop(SendDropReason::congestion, 1);
    clock.advance(2s);
    const auto second = monitor.sample();
    EXPECT_DOUBLE_EQ(second.encodeTimeMs, 0) << "nothing encoded: no division by zero";
    EXPECT_DOUBLE_EQ(second.avgFrameKB, 0);
    EXPECT_DOUBLE_EQ(second.captureFPS, 0);
    EXPECT_EQ(second.droppedSendFrames, 5) << "running total";
    EXPECT_EQ(monitor.droppedSendTotal(), 5);

    monitor.countCaptured();
    const auto sameInstant = monitor.sample();
    EXPECT_DOUBLE_EQ(sameInstant.captureFPS, 1'000'000) << "elapsed is at least 1 us";
    EXPECT_EQ(toText(SendDropReason::awaitingKeyframe), "awaitingKeyframe");
    EXPECT_GT(processCPUTimeMicros(), 0u);
}
