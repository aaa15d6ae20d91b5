// The manager's logic over a recording display system, in virtual time.
#include <atomic>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "VirtualDisplay/Testing/FakeVirtualDisplayAdapter.hpp"
#include "VirtualDisplay/VirtualDisplayManager.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Kind = VirtualDisplayError::Kind;

namespace {

struct Harness {
    std::shared_ptr<FakeVirtualDisplayAdapter> adapter = std::make_shared<FakeVirtualDisplayAdapter>();
    std::shared_ptr<FakeVirtualDisplayClock> clock = std::make_shared<FakeVirtualDisplayClock>();
    std::shared_ptr<VirtualDisplayManager> manager = VirtualDisplayManager::create(adapter, clock);

    Harness() { KivLogStore::shared().clear(); }
    static VirtualDisplayConfiguration ipad(bool hiDPI = true) {
        return {"iPad", {1366, 1024, 60}, {{1280, 960, 60}}, hiDPI, 264, 0x1234, 0x5678, 42};
    }
    static bool logged(const std::string& line) {
        for (const auto& entry : KivLogStore::shared().entries(LogLevel::debug))
            if (entry.module == "VirtualDisplay" && entry.message == line) return true;
        return false;
    }
};

} // namespace

TEST(VirtualDisplayTypes, TextsModeListsAndOrientation) {
    EXPECT_EQ(VirtualDisplayMode({1920, 1080, 59.94}).text(), "1920×1080@59");
    EXPECT_EQ(VirtualDisplayMode::p900, (VirtualDisplayMode{1600, 900, 60}));
    EXPECT_FALSE(VirtualDisplayMode({1024, 1024, 60}).isPortrait()) << "square counts as landscape";
    VirtualDisplayConfiguration config{"d", {1920, 1080, 60}, {{1920, 1080, 30}, {1280, 720, 60}}, false, 100, 0, 0, 0};
    EXPECT_EQ(config.allModes(), (std::vector<VirtualDisplayMode>{{1920, 1080, 60}, {1280, 720, 60}}));
    EXPECT_EQ(VirtualDisplayError::invalidMode({0, 720, 60}).text(), "Invalid display mode 0×720@60");
    EXPECT_EQ(VirtualDisplayError::of(Kind::notActive).text(), "No virtual monitor has been made");
    EXPECT_FALSE(VirtualDisplayMode({800, 600, std::numeric_limits<double>::infinity()}).isValid());
    EXPECT_FALSE(VirtualDisplayMode({800, 600, std::nan("")}).text().empty()) << "a NaN rate still prints";
}

TEST(VirtualDisplayManager, CreatesWithDoubledMaximaPhysicalSizeAndWaitsForTheDisplay) {
    Harness h;
    h.adapter->onlineAfterPolls = 4;
    auto id = h.manager->createDisplay(Harness::ipad());
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, 1u);
    EXPECT_EQ(h.adapter->take(),
              (std::vector<std::string>{"create 'iPad' max=2732×2048 size=131.4×98.5mm ids=4660/22136/42",
                                        "apply 1 hiDPI=true 1366×1024@60 1280×960@60"}));
    // Polled until online (three 50 ms waits), then the 300 ms settle.
    EXPECT_EQ(h.clock->sleeps, (std::vector<VirtualDisplayClock::Duration>{50ms, 50ms, 50ms, 300ms}));
    EXPECT_TRUE(h.manager->isActive());
    EXPECT_EQ(h.manager->getDisplayID(), 1u);
    EXPECT_EQ(h.manager->configuration(), Harness::ipad());
    EXPECT_TRUE(Harness::logged("Virtual display created id=1 mode=1366×1024@60 maxPixels=2732×2048"));

    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()).error(), VirtualDisplayError::of(Kind::alreadyActive));
    EXPECT_EQ(h.manager->getDisplayID(), 1u) << "the old display stays";

    // A configuration may ask for larger maxima; a display that never shows up only bounds the wait.
    Harness h2;
    h2.adapter->onlineAfterPolls = 1'000;
    auto config = Harness::ipad(false);
    config.maxPixelsWide = 4000;
    ASSERT_TRUE(h2.manager->createDisplay(config).has_value());
    EXPECT_EQ(h2.adapter->calls.front().substr(0, 22), "create 'iPad' max=4000");
    EXPECT_EQ(h2.clock->now(), 1500ms + 300ms);
}

TEST(VirtualDisplayManager, RefusesBadModeListsAndReportsEveryFailure) {
    Harness h;
    VirtualDisplayConfiguration mixed{"d", {1920, 1080, 60}, {{1080, 1920, 60}}, false, 100, 0, 0, 0};
    EXPECT_EQ(h.manager->createDisplay(mixed).error(), VirtualDisplayError::invalidMode({1080, 1920, 60}));
    EXPECT_TRUE(Harness::logged(
        "Refusing mixed-orientation mode list (1080×1920@60 vs 1920×1080@60): would crash WindowServer"));
    auto zeroRate = mixed;
    zeroRate.additionalModes = {{1280, 720, 0}};
    EXPECT_EQ(h.manager->createDisplay(zeroRate).error(), VirtualDisplayError::invalidMode({1280, 720, 0}));
    auto huge = mixed;
    huge.additionalModes = {};
    huge.mode = {3'000'000'000u, 2'000'000'000u, 60};
    huge.hiDPI = true;
    EXPECT_EQ(h.manager->createDisplay(huge).error().kind, Kind::invalidMode) << "maxima that do not fit 32 bits";
    EXPECT_TRUE(h.adapter->calls.empty()) << "nothing was created";

    h.adapter->supported = false;
    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()).error(), VirtualDisplayError::of(Kind::unsupported));
    h.adapter->supported = true;
    h.adapter->failCreate = true;
    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()).error(), VirtualDisplayError::of(Kind::creationFailed));
    EXPECT_TRUE(Harness::logged("Virtual display creation failed"));
    h.adapter->failCreate = false;
    h.adapter->createWithZeroID = true;
    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()).error(), VirtualDisplayError::of(Kind::creationFailed));
    h.adapter->createWithZeroID = false;
    h.adapter->failApply = true;
    h.adapter->take();
    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()).error(), VirtualDisplayError::of(Kind::applySettingsFailed));
    EXPECT_EQ(h.adapter->take().back(), "invalidate 1") << "the half-made display is removed";
    EXPECT_TRUE(Harness::logged("Virtual display applySettings failed"));
    EXPECT_FALSE(h.manager->isActive());
    EXPECT_TRUE(h.clock->sleeps.empty()) << "failures do not wait";

    EXPECT_EQ(h.manager->setResolution({1280, 720, 60}).error(), VirtualDisplayError::of(Kind::notActive));
    h.manager->destroyDisplay();
    EXPECT_TRUE(h.adapter->calls.empty()) << "destroy without a display returns at once";
}

TEST(VirtualDisplayManager, ResolutionChangesInPlaceOrByRecreate) {
    Harness h;
    ASSERT_EQ(h.manager->createDisplay(Harness::ipad()), 1u);
    h.adapter->take();
    h.clock->sleeps.clear();

    // Same orientation, within the maxima: in place, same ID, the old main mode stays on offer.
    EXPECT_EQ(h.manager->setResolution({1280, 960, 60}), 1u);
    EXPECT_EQ(h.adapter->take(), (std::vector<std::string>{"apply 1 hiDPI=true 1280×960@60 1366×1024@60"}));
    EXPECT_EQ(h.clock->sleeps, (std::vector<VirtualDisplayClock::Duration>{300ms}));
    EXPECT_EQ(h.manager->configuration()->mode, (VirtualDisplayMode{1280, 960, 60}));
    EXPECT_TRUE(Harness::logged("Resolution changed id=1 mode=1280×960@60"));

    // A refused in-place change keeps the display and its mode.
    h.adapter->failApply = true;
    EXPECT_EQ(h.manager->setResolution({1024, 768, 60}).error(), VirtualDisplayError::of(Kind::applySettingsFailed));
    EXPECT_EQ(h.manager->configuration()->mode, (VirtualDisplayMode{1280, 960, 60}));
    h.adapter->failApply = false;
    h.adapter->take();

    // Orientation change: recreated with a new ID; landscape candidates are dropped.
    h.adapter->offlineAfterPolls = 2;
    h.clock->sleeps.clear();
    EXPECT_EQ(h.manager->setResolution({1024, 1366, 60}), 2u);
    EXPECT_EQ(h.adapter->take(), (std::vector<std::string>{
                                     "invalidate 1", "create 'iPad' max=2048×2732 size=98.5×131.4mm ids=4660/22136/42",
                                     "apply 2 hiDPI=true 1024×1366@60"}));
    EXPECT_EQ(h.clock->sleeps, (std::vector<VirtualDisplayClock::Duration>{50ms, 300ms, 300ms}));
    EXPECT_TRUE(Harness::logged("Virtual display destroyed id=1 (gone after 50ms)"));
    EXPECT_TRUE(Harness::logged("Resolution changed by recreate id=2 mode=1024×1366@60"));

    // Larger than the maxima: recreated; candidates larger than the new mode are dropped.
    ASSERT_EQ(h.manager->setResolution({900, 1200, 60}), 2u);
    h.adapter->take();
    EXPECT_EQ(h.manager->setResolution({1600, 2200, 60}), 3u);
    EXPECT_EQ(h.adapter->take().back(), "apply 3 hiDPI=true 1600×2200@60 900×1200@60 1024×1366@60");
    EXPECT_EQ(h.manager->configuration()->maxPixelsWide, 0u) << "the configuration's own lower bounds are kept";

    // A recreate whose create fails leaves no display.
    h.adapter->failCreate = true;
    EXPECT_EQ(h.manager->setResolution({1920, 1080, 60}).error(), VirtualDisplayError::of(Kind::creationFailed));
    EXPECT_FALSE(h.manager->isActive());
}

TEST(VirtualDisplayManager, ReadersAnswerFromOtherThreadsWhileAResolutionChangeSettles) {
    Harness h;
    ASSERT_EQ(h.manager->createDisplay(Harness::ipad()), 1u);
    std::vector<std::future<bool>> readers; // outlive the sleeps, so a stuck reader cannot hang the test
    std::vector<bool> answered;
    h.clock->onSleep = [&](VirtualDisplayClock::Duration) {
        readers.push_back(
            std::async(std::launch::async, [&] { return h.manager->isActive() || !h.manager->getDisplayID(); }));
        answered.push_back(readers.back().wait_for(5s) == std::future_status::ready);
    };
    EXPECT_EQ(h.manager->setResolution({1280, 960, 60}), 1u);  // in place: the settle
    EXPECT_EQ(h.manager->setResolution({1024, 1366, 60}), 2u); // recreate: offline wait, settles
    h.clock->onSleep = nullptr;
    ASSERT_GE(answered.size(), 3u);
    for (std::size_t i = 0; i < answered.size(); ++i)
        EXPECT_TRUE(answered[i]) << "reader blocked during sleep " << i;
}

TEST(VirtualDisplayManager, SelectsListedModesAndWaitsForThemAsynchronously) {
    Harness h;
    EXPECT_FALSE(h.manager->selectMode(1366, 1024, 2732, 2048)) << "no display";
    ASSERT_TRUE(h.manager->createDisplay(Harness::ipad()).has_value());
    h.adapter->take();
    EXPECT_TRUE(h.manager->selectMode(1280, 960, 2560, 1920));
    EXPECT_EQ(h.adapter->take(), (std::vector<std::string>{"configure 1 1280×960/2560×1920"}));
    EXPECT_TRUE(Harness::logged("Select display mode 1280×960/2560×1920: ok"));
    EXPECT_FALSE(h.manager->selectMode(1280, 960, 1280, 960));
    EXPECT_TRUE(Harness::logged("Mode 1280×960/1280×960 not listed yet"));
    h.adapter->failConfigure = true;
    EXPECT_FALSE(h.manager->selectMode(1366, 1024, 2732, 2048));
    EXPECT_TRUE(Harness::logged("Select display mode 1366×1024/2732×2048: failed"));

    // The mode shows up after 120 ms: found on the third look, without blocking the caller.
    std::vector<bool> results;
    const auto blockingSleeps = h.clock->sleeps.size();
    h.manager->waitForMode(1024, 768, 2048, 1536, 1.0, [&](bool ok) { results.push_back(ok); });
    EXPECT_TRUE(results.empty());
    h.clock->advance(120ms);
    h.adapter->displays[1].listedModes.push_back({1024, 768, 2048, 1536});
    h.clock->advance(29ms);
    EXPECT_TRUE(results.empty());
    h.clock->advance(1ms);
    EXPECT_EQ(results, (std::vector<bool>{true}));
    EXPECT_EQ(h.clock->sleeps.size(), blockingSleeps) << "no blocking sleep";

    h.manager->waitForMode(800, 600, 800, 600, 0.2, [&](bool ok) { results.push_back(ok); });
    h.clock->advance(199ms);
    EXPECT_EQ(results.size(), 1u);
    h.clock->advance(1ms);
    EXPECT_EQ(results, (std::vector<bool>{true, false})) << "false at the deadline";

    // Never inside the call, even when the answer is known at once.
    h.manager->waitForMode(1024, 768, 2048, 1536, 1.0, [&](bool ok) { results.push_back(ok); });
    EXPECT_EQ(results.size(), 2u);
    h.clock->advance(0ms);
    EXPECT_EQ(results, (std::vector<bool>{true, false, true}));

    h.manager->waitForMode(800, 600, 800, 600, 5.0, [&](bool ok) { results.push_back(ok); });
    h.manager.reset();
    h.clock->runAllPending();
    EXPECT_EQ(results.back(), false) << "a released manager answers false";
}

TEST(VirtualDisplayManager, SystemRemovalRunsOnTerminatedOnceAndLeavesNoDisplay) {
    Harness h;
    int terminated = 0;
    h.manager->setOnTerminated([&] {
        ++terminated;
        EXPECT_FALSE(h.manager->isActive()) << "forgotten before the handler runs";
    });
    ASSERT_TRUE(h.manager->createDisplay(Harness::ipad()).has_value());
    h.adapter->terminateBySystem(1);
    h.adapter->terminateBySystem(1);
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(h.manager->configuration().has_value());
    EXPECT_TRUE(Harness::logged("Virtual display terminated by system"));
    EXPECT_EQ(h.manager->createDisplay(Harness::ipad()), 2u) << "a new display can be made";

    // A handler firing after the manager is gone does nothing.
    h.manager.reset();
    h.adapter->terminateBySystem(2);
    EXPECT_EQ(terminated, 1);
    EXPECT_EQ(h.adapter->calls.back(), "invalidate 2") << "releasing the manager removes its display";
}

TEST(VirtualDisplayManager, ChangesAcrossManagersAreSerialisedSettleWaitsIncluded) {
    // Two managers on two threads: with the process-wide lock, one create's waits never overlap the other's.
    struct BlockingClock : VirtualDisplayClock {
        std::atomic<int> inside{0};
        std::atomic<int> overlap{0};
        Duration now() const override { return Duration{0}; }
        void sleepFor(Duration) override {
            if (inside.fetch_add(1) != 0) overlap.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            inside.fetch_sub(1);
        }
        void after(Duration, std::function<void()>) override {}
    };
    auto clock = std::make_shared<BlockingClock>();
    auto adapterA = std::make_shared<FakeVirtualDisplayAdapter>();
    auto adapterB = std::make_shared<FakeVirtualDisplayAdapter>();
    auto a = VirtualDisplayManager::create(adapterA, clock);
    auto b = VirtualDisplayManager::create(adapterB, clock);
    auto cycle = [](const std::shared_ptr<VirtualDisplayManager>& m) {
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(m->createDisplay(Harness::ipad()).has_value());
            m->destroyDisplay();
        }
    };
    std::thread ta(cycle, a);
    std::thread tb(cycle, b);
    ta.join();
    tb.join();
    EXPECT_EQ(clock->overlap.load(), 0);
}
