// Touches to pointer, wheel and key events: exact sequences and click states.
#include <gtest/gtest.h>

#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Testing/FakeEventPoster.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using Kind = InputEvent::Kind;

namespace {

struct Harness {
    ManualExecutor queue{"kiv.input"};
    std::shared_ptr<FakeEventPoster> poster = std::make_shared<FakeEventPoster>();
    std::shared_ptr<InMemoryKeyValueStore> defaults = std::make_shared<InMemoryKeyValueStore>();
    double wallClock = 1000.0;
    std::shared_ptr<InputEventManager> manager;
    int unauthorized = 0;

    Harness() {
        KivLogStore::shared().clear();
        manager = InputEventManager::create(
            queue, poster,
            [](std::uint32_t id) -> std::optional<Rect> {
                if (id == 7) return Rect{1920, 0, 1920, 1080};
                return std::nullopt;
            },
            defaults, [this] { return wallClock; });
        manager->setDisplayID(7);
        manager->onUnauthorizedInput = [this] { ++unauthorized; };
    }
    void send(Kind kind, double x = 0.5, double y = 0.5, double dx = 0, double dy = 0) {
        manager->handle(InputEvent{kind, x, y, dx, dy, 0, 0});
        queue.runUntilIdle();
    }
    std::vector<std::string> take() { return std::exchange(poster->events, {}); }
};

} // namespace

TEST(InputEventManager, MovesDragWhilePressedAndUpReportsTheClickCount) {
    Harness h;
    h.send(Kind::move);
    h.send(Kind::down);
    h.send(Kind::move);
    h.send(Kind::up);
    h.send(Kind::move);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"mouse 5 (2880,540) click 0", "mouse 1 (2880,540) click 1",
                                                  "mouse 6 (2880,540) click 0", "mouse 2 (2880,540) click 1",
                                                  "mouse 5 (2880,540) click 0"}));
    h.send(Kind::drag, 1.0, 1.0);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"mouse 6 (3839,1079) click 1"}))
        << "1.0 lands on the last point inside";
}

TEST(InputEventManager, QuickNearbyTapsCountUpToThree) {
    Harness h;
    const auto tapAt = [&](double x, double seconds) {
        h.wallClock += seconds;
        h.send(Kind::tap, x, 0.5);
        const auto events = h.take();
        return events.at(1);
    };
    EXPECT_EQ(tapAt(0.5, 0), "mouse 1 (2880,540) click 1");
    EXPECT_EQ(tapAt(0.5 + 4.0 / 1920, 0.3), "mouse 1 (2884,540) click 2");
    EXPECT_EQ(tapAt(0.5, 0.3), "mouse 1 (2880,540) click 3");
    EXPECT_EQ(tapAt(0.5, 0.3), "mouse 1 (2880,540) click 3") << "a fourth quick tap stays a triple click";
    EXPECT_EQ(tapAt(0.5, 0.6), "mouse 1 (2880,540) click 1") << "0.5 s is the threshold when none is set";
    EXPECT_EQ(tapAt(0.6, 0.1), "mouse 1 (3072,540) click 1") << "too far away";

    h.defaults->setNumber("kiv.input.doubleClickSeconds", 1.0);
    EXPECT_EQ(tapAt(0.6, 0.8), "mouse 1 (3072,540) click 2") << "the stored threshold is read on every click";

    // up after a double-counted down reports 2; up without a prior click reports 1.
    Harness fresh;
    fresh.send(Kind::up);
    EXPECT_EQ(fresh.take(), (std::vector<std::string>{"mouse 2 (2880,540) click 1"}));
    fresh.send(Kind::down);
    fresh.wallClock += 0.2;
    fresh.send(Kind::down);
    fresh.send(Kind::up);
    EXPECT_EQ(fresh.take().back(), "mouse 2 (2880,540) click 2");
}

TEST(InputEventManager, RightClicksScrollsAndSpaceSwitches) {
    Harness h;
    h.send(Kind::rightClick, 0.25, 0.25);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"mouse 5 (2400,270) click 0", "mouse 3 (2400,270) click 1",
                                                  "mouse 4 (2400,270) click 1"}));
    h.send(Kind::scroll, 0.5, 0.5, 0.0, 0.01);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"scroll 10 0 at (2880,540)"})) << "0.01 of 1080 is 10 pixels";
    h.send(Kind::scroll, 0.5, 0.5, 0.0001, 0.0001);
    EXPECT_TRUE(h.take().empty()) << "zero on both axes posts nothing";
    h.send(Kind::scroll, 0.5, 0.5, 1e12, -1e12);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"scroll -2147483648 2147483647 at (2880,540)"}))
        << "clamped, not wrapped";
    h.send(Kind::switchSpace, 0.5, 0.5, 0.2);
    EXPECT_EQ(h.take(), (std::vector<std::string>{"key 59 down flags 0x40000", "key 124 down flags 0xa40000",
                                                  "key 124 up flags 0xa40000", "key 59 up flags 0x0"}));
    h.send(Kind::switchSpace, 0.5, 0.5, 0.0);
    EXPECT_EQ(h.take().at(1), "key 123 down flags 0xa40000") << "dx 0 goes left";
    const auto line = h.manager->takeStats();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->substr(0, line->find(" inject")), "touch events 6 (rightClick=1 scroll=3 switchSpace=2)");
    EXPECT_NE(line->find(" | last switchSpace → global (2880,540)"), std::string::npos) << *line;
    EXPECT_FALSE(h.manager->takeStats()) << "an empty interval has no line";
}

TEST(InputEventManager, PermissionDisplayAndHostileInput) {
    Harness h;
    h.poster->trusted = false;
    h.send(Kind::tap);
    h.send(Kind::tap);
    EXPECT_TRUE(h.take().empty());
    EXPECT_EQ(h.unauthorized, 1) << "reported once";
    EXPECT_EQ(h.manager->takeStats(), "touch events 0 () inject avg 0.00ms max 0.00ms | dropped (no accessibility) 2");
    h.poster->trusted = true;
    h.send(Kind::tap);
    h.poster->trusted = false;
    h.send(Kind::tap);
    EXPECT_EQ(h.unauthorized, 2) << "a later loss of trust is reported again";

    h.poster->trusted = true;
    h.take();
    h.send(Kind::tap, std::nan(""), 0.5);
    h.send(Kind::scroll, 0.5, 0.5, INFINITY, 0);
    EXPECT_TRUE(h.take().empty()) << "non-finite input is dropped";
    h.send(Kind::tap, 7.0, -3.0);
    EXPECT_EQ(h.take().at(0), "mouse 5 (3839,0) click 0") << "out-of-range positions stay on the display";

    h.manager->setDisplayID(99);
    h.send(Kind::tap);
    EXPECT_TRUE(h.take().empty()) << "a display without bounds";
    h.manager->setDisplayID(std::nullopt);
    h.send(Kind::tap);
    h.manager->setDisplayID(7);
    h.manager->setEnabled(false);
    h.send(Kind::tap);
    EXPECT_TRUE(h.take().empty());

    Harness dry;
    dry.poster->trusted = false;
    dry.manager->setDisplayID(99);
    dry.manager->setDryRun(true);
    dry.send(Kind::tap, 0.5, 0.5);
    EXPECT_TRUE(dry.take().empty()) << "dry run posts nothing";
    const auto line = dry.manager->takeStats();
    ASSERT_TRUE(line);
    EXPECT_NE(line->find("last tap → global (2152,480)"), std::string::npos) << *line;
    EXPECT_TRUE(line->ends_with(" [dry-run]")) << *line;
}
