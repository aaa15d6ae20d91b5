// The run's figures: percentiles from buckets agree with the exact ones to a bucket, whatever the
// samples, and the per-second interval starts over each time it is taken.
#include <gtest/gtest.h>
#include <random>

#include "FrameFigures.hpp"

namespace {

using namespace kiv::receiver;

double exact(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

TEST(FrameFigures, BucketedPercentilesMatchTheExactOnesToOneStep) {
    std::mt19937 random(7);
    std::lognormal_distribution<double> latency(2.5, 0.6); // ~12 ms, a long tail
    for (const std::size_t n : {1u, 2u, 17u, 5000u}) {
        TimeHistogram histogram;
        std::vector<double> samples;
        for (std::size_t i = 0; i < n; ++i) {
            samples.push_back(latency(random));
            histogram.add(samples.back());
        }
        for (const double p : {0.0, 0.5, 0.95, 0.99, 1.0})
            EXPECT_NEAR(histogram.percentile(p), exact(samples, p), TimeHistogram::kStepMs) << n << " p" << p;
    }
    TimeHistogram odd;
    odd.add(-3);
    odd.add(std::nan(""));
    odd.add(1e9);
    EXPECT_EQ(odd.count(), 3u);
    EXPECT_LT(odd.percentile(0), TimeHistogram::kStepMs) << "below zero counts as zero";
    EXPECT_GT(odd.percentile(1), 1999.0) << "beyond the range counts in the last step";
    EXPECT_EQ(TimeHistogram{}.percentile(0.5), 0);
}

TEST(FrameFigures, TheIntervalCountsOnlyWhatCameSinceItWasLastTaken) {
    FrameFigures f;
    f.frameDecoded(true, 2.0, {1920, 1080}, 10.0);
    f.frameDecoded(false, 4.0, {1920, 1080}, std::nullopt);
    f.frameFailed(false);
    EXPECT_EQ(f.takeInterval(), (std::pair<std::int64_t, double>{2, 3.0}));
    EXPECT_EQ(f.takeInterval(), (std::pair<std::int64_t, double>{0, 0.0}));
    EXPECT_EQ(f.frames(), 3);
    EXPECT_EQ(f.keyframes(), 1);
    EXPECT_EQ(f.failures(), 1);
    EXPECT_EQ(f.latency().count(), 1u) << "a frame without a clock offset has no latency";
    EXPECT_EQ(f.lastLatencyMs(), 10.0);
}

} // namespace
