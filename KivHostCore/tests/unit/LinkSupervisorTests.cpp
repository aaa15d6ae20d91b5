// The link supervisor's two timers on their own, in virtual time: what restarts them, what ends
// them, and that nothing fires once it is gone.
#include <cmath>
#include <gtest/gtest.h>

#include "KivHostCore/Service/LinkSupervisor.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

namespace {

using namespace std::chrono_literals;
using kiv::TransportKind;

struct Supervised {
    kiv::ManualExecutor main;
    int holdsExpired = 0;
    int gracesExpired = 0;
    std::optional<kiv::LinkSupervisor> links{
        std::in_place, main, kiv::LinkSupervisor::Hooks{[this] { ++holdsExpired; }, [this] { ++gracesExpired; }}};
};

TEST(LinkSupervisor, ASecondLossRestartsTheHoldAndATakeOverNamesTheLostLinkAndEndsBothTimers) {
    Supervised s;
    s.links->linkLost(TransportKind::usb, 10s);
    s.main.advance(8s);
    s.links->linkLost(TransportKind::wifi, 10s); // the link that took over went too
    s.main.advance(9'999ms);
    EXPECT_EQ(s.holdsExpired, 0);
    EXPECT_EQ(s.links->lostLink(), TransportKind::wifi);
    s.main.advance(1ms);
    EXPECT_EQ(s.holdsExpired, 1);
    EXPECT_FALSE(s.links->lostLink()) << "an expired hold forgets the link";

    s.links->startGrace(60s);
    s.links->linkLost(TransportKind::usb, 10s);
    EXPECT_EQ(s.links->takeOver(), TransportKind::usb);
    EXPECT_EQ(s.links->takeOver(), std::nullopt) << "told once";
    EXPECT_FALSE(s.links->isHolding());
    EXPECT_FALSE(s.links->isInGrace());
    s.main.advance(120s);
    EXPECT_EQ(s.holdsExpired, 1);
    EXPECT_EQ(s.gracesExpired, 0);
}

TEST(LinkSupervisor, AGoneClientEndsTheHoldButNotTheGraceAndNothingFiresAfterTheSupervisorGoes) {
    Supervised s;
    s.links->startGrace(60s);
    s.main.advance(30s);
    s.links->startGrace(60s); // restarted: a full grace again
    s.links->linkLost(TransportKind::wifi, 10s);
    s.links->clientGone();
    EXPECT_FALSE(s.links->isHolding());
    s.main.advance(59s);
    EXPECT_EQ(s.gracesExpired, 0);
    s.main.advance(1s);
    EXPECT_EQ(s.gracesExpired, 1);
    EXPECT_EQ(s.holdsExpired, 0);

    s.links->linkLost(TransportKind::usb, 10s);
    s.links->startGrace(20s);
    s.links.reset();
    s.main.advance(60s);
    EXPECT_EQ(s.holdsExpired + s.gracesExpired, 1);
}

TEST(LinkSupervisor, SettingsInSecondsBecomeDurationsAndNonsenseMeansNoWait) {
    EXPECT_EQ(kiv::secondsToDuration(10), 10s);
    EXPECT_EQ(kiv::secondsToDuration(0.25), 250ms);
    EXPECT_EQ(kiv::secondsToDuration(-3), kiv::Duration::zero());
    EXPECT_EQ(kiv::secondsToDuration(std::nan("")), kiv::Duration::zero());
    EXPECT_GT(kiv::secondsToDuration(INFINITY), 24h * 365 * 30) << "capped, not overflowed";
}

} // namespace
