#include <gtest/gtest.h>

#include "KivHostCore/Media/AutoQualityController.hpp"

using namespace kiv;
using Sample = AutoQualityController::Sample;

namespace {
Sample bad(double t) {
    return Sample{0.10, 30, 0, 0, t};
}
Sample good(double t) {
    return Sample{0.0, 20, 0, 0, t};
}
} // namespace

TEST(AutoQualityController, StepsDownOnTheThirdBadSampleThenWaits) {
    AutoQualityController c(QualityTier::standard);
    EXPECT_FALSE(c.ingest(bad(100)));
    EXPECT_FALSE(c.ingest(bad(101)));
    EXPECT_EQ(c.ingest(bad(102)), QualityTier::smooth);
    EXPECT_EQ(c.lastReason, "loss 10.0% rtt 30ms jitter 0ms drops host+0 client+0");
    EXPECT_EQ(c.requiredGood, 40);
    EXPECT_FALSE(c.ingest(bad(104))) << "window emptied and less than 6 s since the change";
    EXPECT_FALSE(c.ingest(bad(105)));
    EXPECT_FALSE(c.ingest(bad(107))) << "three bad again but only 5 s after the change";
    EXPECT_EQ(c.ingest(bad(108)), QualityTier::emergency);

    AutoQualityController floor(QualityTier::emergency);
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(floor.ingest(bad(100 + 7.0 * i)));
}

TEST(AutoQualityController, StepsUpAfterTwentyCleanSamplesUpToTheMaximumTier) {
    AutoQualityController c(QualityTier::standard);
    std::optional<QualityTier> changed;
    for (int i = 1; i <= 20; ++i)
        changed = c.ingest(good(1000 + i));
    EXPECT_EQ(changed, QualityTier::clear);
    EXPECT_EQ(c.lastReason, "stable 20s");
    for (int i = 21; i <= 60; ++i)
        EXPECT_FALSE(c.ingest(good(1000 + i))) << "clear is the Wi-Fi maximum";

    c.maxTier = AutoQualityController::maxTierFor(TransportKind::usb);
    EXPECT_EQ(c.ingest(good(1061)), QualityTier::ultra) << "streak kept counting; over USB ultra is allowed";
}

TEST(AutoQualityController, StepUpWaitsTwentySecondsAfterAChange) {
    AutoQualityController c(QualityTier::smooth);
    c.reset(QualityTier::smooth, 0);
    for (int i = 0; i < 19; ++i)
        EXPECT_FALSE(c.ingest(good(0.5 * i)));
    EXPECT_FALSE(c.ingest(good(19.9))) << "20 good samples, but only 19.9 s since the change";
    EXPECT_EQ(c.ingest(good(20.0)), QualityTier::standard);
}

TEST(AutoQualityController, DropCountsClassifyTheSampleButNotTheFirstOne) {
    AutoQualityController first(QualityTier::clear);
    first.ingest(Sample{0, 20, 500, 500, 0});
    EXPECT_EQ(first.recentBad.back(), false) << "first sample counts no drops";
    EXPECT_EQ(first.goodStreak, 1);

    AutoQualityController host(QualityTier::clear);
    host.ingest(Sample{0, 20, 0, 0, 0});
    host.ingest(Sample{0, 20, 0, 1, 1});
    EXPECT_TRUE(host.recentBad.back()) << "hostDelta 1 is bad even without loss";

    AutoQualityController client(QualityTier::clear);
    client.ingest(Sample{0, 20, 0, 0, 0});
    client.ingest(Sample{0, 20, 2, 0, 1});
    EXPECT_FALSE(client.recentBad.back()) << "clientDelta 2 is not bad";
    EXPECT_EQ(client.goodStreak, 0) << "... and not good";
    client.ingest(Sample{0, 20, 5, 0, 2});
    EXPECT_TRUE(client.recentBad.back()) << "clientDelta 3 is bad";
}

TEST(AutoQualityController, JitterIsThePopulationDeviationOfTheLastFiveRtts) {
    AutoQualityController c(QualityTier::clear);
    for (const double rtt : {20.0, 20.0, 20.0, 20.0})
        c.ingest(Sample{0, rtt, 0, 0, 0});
    c.ingest(Sample{0, 80, 0, 0, 0}); // mean 32, jitter 24: bad only through rtt > 80? no: rtt 80 is not > 80
    EXPECT_FALSE(c.recentBad.back());
    c.ingest(Sample{0, 80, 0, 0, 0}); // 20,20,20,80,80: jitter ~29.4 > 25
    EXPECT_TRUE(c.recentBad.back());
}

TEST(AutoQualityController, BackOffDoublesUpTo120AndRelaxesAfterFiveMinutes) {
    AutoQualityController c(QualityTier::ultra);
    double t = 0;
    for (const int expected : {40, 80, 120, 120}) {
        for (int i = 0; i < 3; ++i)
            c.ingest(bad(t += 7));
        EXPECT_EQ(c.requiredGood, expected);
    }
    const double lastStepDown = t;
    c.ingest(good(lastStepDown + 301));
    EXPECT_EQ(c.requiredGood, 20) << "reset before the up-step test";
    c.reset(QualityTier::clear, 5000);
    EXPECT_EQ(c.goodStreak, 0);
    EXPECT_TRUE(c.recentBad.empty());
    EXPECT_DOUBLE_EQ(c.lastDegrade, lastStepDown) << "reset keeps the back-off history";
}
