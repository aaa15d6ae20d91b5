// Touch input reaching a real X server (Xvfb started here) through XTEST: a window under the
// pointer receives the clicks, wheel steps and keys the touches turn into.
#include <cstdlib>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Linux/XTestEventPoster.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "XWitness.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Kind = InputEvent::Kind;
using test::Witness;

TEST(XTestInput, TapsScrollsAndSpaceSwitchesReachAWindow) {
    auto server = test::XvfbServer::start(1920, 1080);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Witness witness((*server)->display());

    SerialQueue queue("kiv.input");
    auto poster = std::make_shared<XTestEventPoster>((*server)->display());
    ASSERT_TRUE(poster->isTrusted()) << "Xvfb has XTEST";
    auto manager = InputEventManager::create(
        queue, poster,
        [](std::uint32_t) {
            return std::optional<Rect>(Rect{0, 0, 1920, 1080});
        },
        nullptr, [] { return 0.0; });
    manager->setDisplayID(1);

    manager->handle(InputEvent{Kind::tap, 0.5, 0.5, 0, 0, 1, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.pointer(), (std::pair<int, int>{960, 540}));
    EXPECT_EQ(witness.events[0].type, XCB_BUTTON_PRESS);
    EXPECT_EQ(witness.events[0].detail, 1);
    EXPECT_EQ(witness.events[0].x, 960);
    EXPECT_EQ(witness.events[0].y, 540);
    EXPECT_EQ(witness.events[1].type, XCB_BUTTON_RELEASE);
    witness.events.clear();

    // 0.01 of 1,080 is 10 pixels: four such scrolls make one wheel step up.
    for (int i = 0; i < 4; ++i)
        manager->handle(InputEvent{Kind::scroll, 0.5, 0.5, 0, 0.01, 2, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.events[0].detail, 4) << "positive dy scrolls up";
    EXPECT_EQ(witness.events.size(), 2u) << "exactly one step; the remainder is carried";
    witness.events.clear();

    manager->handle(InputEvent{Kind::switchSpace, 0.5, 0.5, 0.3, 0, 3, 0});
    ASSERT_TRUE(witness.waitForEvents(4));
    EXPECT_EQ(witness.events[0].type, XCB_KEY_PRESS);
    EXPECT_EQ(witness.events[1].type, XCB_KEY_PRESS);
    EXPECT_EQ(witness.events[2].type, XCB_KEY_RELEASE);
    EXPECT_EQ(witness.events[3].type, XCB_KEY_RELEASE);
    EXPECT_EQ(witness.events[0].detail, witness.events[3].detail) << "Control wraps the arrow";
    EXPECT_EQ(witness.events[1].detail, witness.events[2].detail);
    EXPECT_NE(witness.events[0].detail, witness.events[1].detail);
}
