// The display controller's ladder over a fake display server in virtual time: which rung holds
// when the server refuses sizes, and the one retry an offline display gets.
#include <gtest/gtest.h>

#include "KivHostCore/Service/DisplayController.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "VirtualDisplay/Testing/FakeVirtualDisplayAdapter.hpp"

namespace {

using namespace kiv;
using test::countLogged;
using test::logged;

struct Controlled {
    ManualExecutor main{"main"};
    ManualExecutor queue{"display"};
    std::shared_ptr<FakeVirtualDisplayAdapter> server = std::make_shared<FakeVirtualDisplayAdapter>();
    std::shared_ptr<FakeVirtualDisplayClock> clock = std::make_shared<FakeVirtualDisplayClock>();
    std::shared_ptr<VirtualDisplayManager> display = VirtualDisplayManager::create(server, clock);
    std::shared_ptr<DisplayController> controller = DisplayController::create(main, queue, display, clock, true);

    Controlled() { KivLogStore::shared().clear(); }

    DisplayController::Result bring(const DisplayConfiguration& config) {
        std::optional<DisplayController::Result> result;
        controller->bring(
            config,
            [](const DisplayConfiguration& rung) {
                VirtualDisplayConfiguration d;
                d.name = "test";
                d.mode = {static_cast<std::uint32_t>(rung.logicalWidth), static_cast<std::uint32_t>(rung.logicalHeight),
                          60};
                d.hiDPI = rung.scaleFactor >= 2;
                return d;
            },
            [&](DisplayController::Result r) { result = std::move(r); });
        while (queue.runUntilIdle() + main.runUntilIdle() > 0) {
        }
        EXPECT_TRUE(result.has_value()) << "done was called";
        return result.value_or(std::unexpected(DisplayModeError{}));
    }
};

DisplayConfiguration tablet() {
    DisplayConfiguration c;
    c.logicalWidth = 1366;
    c.logicalHeight = 1024;
    c.scaleFactor = 2;
    c.streamWidth = 2732;
    c.streamHeight = 2048;
    return c;
}

TEST(DisplayController, RefusedSizesFallToTheFirstRungTheServerShowsAndAllRefusedIsAMismatch) {
    Controlled c;
    c.server->refusedSizes = {{1366, 1024}, {1448, 1086}};
    auto result = c.bring(tablet());
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(result->effective.logicalWidth, 1572);
    EXPECT_EQ(result->effective.logicalHeight, 1178);
    EXPECT_TRUE(result->effective.compatibilityNote.has_value());
    EXPECT_EQ(c.display->currentMode(), (ScreenModeInfo{1572, 1178, 3144, 2356})) << "verified, not assumed";
    EXPECT_TRUE(logged("Trying compatible display mode 1448×1086@2x (step 1)"));
    EXPECT_TRUE(logged("Trying compatible display mode 1572×1178@2x (step 2)"));
    EXPECT_TRUE(logged("Display compatibility fallback in use"));

    Controlled none;
    none.server->failApply = true;
    auto refused = none.bring(tablet());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, DisplayModeError::Kind::mismatch);
    EXPECT_EQ(refused.error().requested, tablet().text());
    EXPECT_EQ(countLogged("Trying compatible display mode"), 5) << "four scaled rungs and the non-HiDPI one";
}

TEST(DisplayController, AHeldDisplayThatIsOfflineGetsOneMoreTryOfTheSameRung) {
    Controlled c;
    ASSERT_TRUE(c.bring(tablet()));
    const auto id = *c.display->getDisplayID();
    auto& held = c.server->displays[id];
    held.online = false;
    held.pollsUntilOnline = 60; // back after the first 5 s wait (50 polls) has given up
    const auto before = c.clock->now();
    auto result = c.bring(tablet());
    ASSERT_TRUE(result) << result.error().text();
    EXPECT_EQ(result->displayID, id) << "the same display, reused";
    EXPECT_FALSE(result->effective.compatibilityNote.has_value());
    EXPECT_EQ(countLogged("Virtual display went offline while applying"), 1);
    EXPECT_FALSE(logged("Trying compatible display mode"));
    EXPECT_GE(c.clock->now() - before, DisplayController::kOfflineReuseWait);
}

} // namespace
