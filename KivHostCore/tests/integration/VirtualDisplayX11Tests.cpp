// Virtual displays as monitors of a real X server: Xorg with the dummy driver (each display is a
// spare output of its own) and Xvfb (the logical-monitor fallback), checked through xrandr and a
// test client's window.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Linux/XTestEventPoster.hpp"
#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Platform/ExecutorDisplayClock.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/Signal.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"
#include "VirtualDisplay/VirtualDisplayManager.hpp"
#include "XWitness.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Bounds = RandRVirtualDisplayAdapter::Bounds;

namespace {

enum class ServerKind { xorgDummy, xvfb };

struct Server {
    std::unique_ptr<PrivateXServer> xorg;
    std::unique_ptr<PrivateXServer> xvfb;
    std::string display;
};

// Empty message: started. Otherwise why not, and whether that is a skip (a missing program or
// privilege; the former fails in CI).
struct Missing {
    bool program = false;
    bool privilege = false;
};
std::pair<std::string, Missing> start(ServerKind kind, Server& server) {
    if (kind == ServerKind::xorgDummy) {
        auto xorg = test::XorgDummyServer::start();
        if (!xorg) return {xorg.error().message, {xorg.error().notInstalled, xorg.error().needsPrivilege}};
        server.display = (*xorg)->display();
        server.xorg = std::move(*xorg);
        return {};
    }
    auto xvfb = test::XvfbServer::start(8192, 8192);
    if (!xvfb) return {xvfb.error().message, {xvfb.error().notInstalled, xvfb.error().needsPrivilege}};
    server.display = (*xvfb)->display();
    server.xvfb = std::move(*xvfb);
    if (!test::shrinkXvfbDesktop(server.display, 1920, 1080)) return {"could not shrink Xvfb's desktop", {}};
    return {};
}

std::map<std::string, Bounds> listMonitors(const std::string& display) {
    const auto result = test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}});
    std::map<std::string, Bounds> monitors;
    static const std::regex line(R"(\d+: [+*]*(\S+) (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+))");
    for (std::sregex_iterator it(result.output.begin(), result.output.end(), line), end; it != end; ++it)
        monitors[(*it)[1]] = Bounds{std::stoi((*it)[4]), std::stoi((*it)[5]), std::stoi((*it)[2]), std::stoi((*it)[3])};
    return monitors;
}

std::pair<int, int> screenSize(const std::string& display) {
    const auto result = test::runProgram({"xrandr", "--current"}, {{"DISPLAY", display}});
    std::smatch match;
    if (!std::regex_search(result.output, match, std::regex(R"(current (\d+) x (\d+))"))) return {0, 0};
    return {std::stoi(match[1]), std::stoi(match[2])};
}

// The xrandr name of the monitor with these bounds, or "".
std::string monitorAt(const std::string& display, const Bounds& bounds) {
    for (const auto& [name, b] : listMonitors(display))
        if (b == bounds) return name;
    return {};
}

class RandRDisplays : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        const auto [why, missing] = start(GetParam(), server_);
        if (missing.privilege) GTEST_SKIP() << why;
        if (missing.program) KIV_SKIP_OR_FAIL(why);
        ASSERT_TRUE(why.empty()) << why;
        adapter_ = std::make_shared<RandRVirtualDisplayAdapter>(server_.display, [this](std::function<void()> task) {
            const std::lock_guard lock(mutex_);
            mainTasks_.push_back(std::move(task));
        });
        ASSERT_TRUE(adapter_->isSupported());
        EXPECT_EQ(adapter_->roomProblem(), "") << "room right of the desktop";
        clock_ = std::make_shared<ExecutorDisplayClock>(queue_);
    }
    bool runMainTasks() {
        std::vector<std::function<void()>> tasks;
        {
            const std::lock_guard lock(mutex_);
            tasks.swap(mainTasks_);
        }
        for (auto& task : tasks)
            task();
        return !tasks.empty();
    }
    static VirtualDisplayConfiguration config(const std::string& name, VirtualDisplayMode mode) {
        return {name, mode, {}, false, 132, 0x4B49, 1, 2};
    }

    Server server_;
    SerialQueue queue_{"kiv.display.test"};
    std::mutex mutex_;
    std::vector<std::function<void()>> mainTasks_;
    std::shared_ptr<RandRVirtualDisplayAdapter> adapter_;
    std::shared_ptr<ExecutorDisplayClock> clock_;
};

} // namespace

TEST_P(RandRDisplays, DisplaysAreMonitorsSideBySideThatChangeAndGoAway) {
    const auto& display = server_.display;
    EXPECT_EQ(adapter_->usesOutputs(), GetParam() == ServerKind::xorgDummy);
    const auto [width0, height0] = screenSize(display);
    ASSERT_GT(width0, 0);

    // Two sessions create their displays at the same time; the changes are serialised.
    auto a = VirtualDisplayManager::create(adapter_, clock_);
    auto b = VirtualDisplayManager::create(adapter_, clock_);
    std::expected<std::uint32_t, VirtualDisplayError> idA =
        std::unexpected(VirtualDisplayError::of(VirtualDisplayError::Kind::notActive));
    auto idB = idA;
    std::thread ta([&] { idA = a->createDisplay(config("Tablet A", {1280, 800, 60})); });
    std::thread tb([&] { idB = b->createDisplay(config("Tablet B", {1024, 768, 60})); });
    ta.join();
    tb.join();
    ASSERT_TRUE(idA.has_value()) << idA.error().text();
    ASSERT_TRUE(idB.has_value()) << idB.error().text();
    EXPECT_NE(*idA, *idB);
    EXPECT_TRUE(a->isOnline(*idA));
    // Selecting the mode a display already shows changes nothing and leaves no second mode behind.
    KivLogStore::shared().clear();
    ASSERT_TRUE(a->selectMode(1280, 800, 1280, 800));
    EXPECT_FALSE(test::logged("RandR request failed"));
    const auto listed = test::runProgram({"xrandr", "--verbose"}, {{"DISPLAY", display}}).output;
    EXPECT_EQ(listed.find("-1280x800-"), listed.rfind("-1280x800-")) << "one mode of that size\n" << listed;
    auto boundsA = adapter_->bounds(*idA);
    auto boundsB = adapter_->bounds(*idB);
    ASSERT_TRUE(boundsA && boundsB);
    EXPECT_EQ(boundsA->width, 1280);
    EXPECT_EQ(boundsA->height, 800);
    EXPECT_EQ(boundsB->width, 1024);
    const auto& first = boundsA->x < boundsB->x ? *boundsA : *boundsB;
    const auto& second = boundsA->x < boundsB->x ? *boundsB : *boundsA;
    EXPECT_EQ(first.x, width0) << "right of the desktop";
    EXPECT_EQ(second.x, first.x + first.width) << "side by side";
    EXPECT_EQ(first.y, 0);
    EXPECT_EQ(screenSize(display), (std::pair{width0 + 1280 + 1024, std::max(height0, 800)}));
    const auto nameA = monitorAt(display, *boundsA);
    EXPECT_TRUE(nameA.starts_with("KIV-")) << "xrandr lists " << nameA;
    EXPECT_TRUE(monitorAt(display, *boundsB).starts_with("KIV-"));
    {
        // The main display, which a mirror and a host without monitors stream, is the desktop's
        // own area, not the whole screen with the devices' monitors in it.
        SerialQueue capture("kiv.capture.test");
        X11ScreenGrabber grabber(display);
        std::optional<ScreenRect> main;
        capture.sync([&] {
            if (grabber.open(capture)) main = grabber.displayRect(std::nullopt);
            grabber.close();
        });
        EXPECT_EQ(main, (std::optional<ScreenRect>{{0, 0, width0, height0}}));
    }

    if (GetParam() == ServerKind::xorgDummy) {
        // The user gives the desktop's own monitor another mode: the displays stay at its right edge,
        // with no gap to lose the pointer in and never under a grown desktop.
        const auto setDesktop = [&](const std::string& mode) {
            return test::runProgram({"xrandr", "--output", "DUMMY0", "--mode", mode}, {{"DISPLAY", display}}).exitCode;
        };
        const auto firstX = [&] { return std::min(adapter_->bounds(*idA)->x, adapter_->bounds(*idB)->x); };
        ASSERT_EQ(setDesktop("1280x960"), 0);
        EXPECT_TRUE(test::waitUntil([&] { return firstX() == 1280; }, 20s)) << firstX();
        ASSERT_EQ(setDesktop(fmt::format("{}x{}", width0, height0)), 0);
        EXPECT_TRUE(test::waitUntil([&] { return firstX() == width0; }, 20s)) << firstX();
        EXPECT_EQ(screenSize(display).first, width0 + 1280 + 1024);
    }

    // In place: same ID, new size, the other display moves up to close the gap or stays put.
    ASSERT_EQ(a->setResolution({1024, 640, 60}), *idA);
    boundsA = adapter_->bounds(*idA);
    ASSERT_TRUE(boundsA);
    EXPECT_EQ((std::pair{boundsA->width, boundsA->height}), (std::pair{1024, 640}));
    EXPECT_EQ(screenSize(display).first, width0 + 1024 + 1024);

    // Orientation change: a new display with a new ID; the old one is gone from the server.
    const auto portrait = a->setResolution({800, 1280, 60});
    ASSERT_TRUE(portrait.has_value());
    EXPECT_NE(*portrait, *idA);
    EXPECT_FALSE(adapter_->bounds(*idA).has_value());
    EXPECT_FALSE(listMonitors(display).contains(nameA));
    const auto boundsP = adapter_->bounds(*portrait);
    ASSERT_TRUE(boundsP);
    EXPECT_EQ((std::pair{boundsP->width, boundsP->height}), (std::pair{800, 1280}));

    // Someone else deletes B's monitor: its session hears of it on the main queue.
    int terminated = 0;
    b->setOnTerminated([&] { ++terminated; });
    const auto nameB = monitorAt(display, *adapter_->bounds(*idB));
    ASSERT_EQ(test::runProgram({"xrandr", "--delmonitor", nameB}, {{"DISPLAY", display}}).exitCode, 0);
    ASSERT_TRUE(test::waitUntil([&] { return runMainTasks() || terminated > 0; }, 20s));
    EXPECT_EQ(terminated, 1);
    EXPECT_FALSE(b->isActive());

    a->destroyDisplay();
    EXPECT_EQ(screenSize(display), (std::pair{width0, height0})) << "the screen is back to the desktop";
    for (const auto& [name, bounds] : listMonitors(display))
        EXPECT_FALSE(name.starts_with("KIV-")) << name;
}

TEST_P(RandRDisplays, ATapLandsAtTheDisplaysCentreInAWindowThere) {
    auto manager = VirtualDisplayManager::create(adapter_, clock_);
    const auto id = manager->createDisplay(config("Tablet", {1280, 1080, 60}));
    ASSERT_TRUE(id.has_value()) << id.error().text();
    const auto bounds = adapter_->bounds(*id);
    ASSERT_TRUE(bounds);
    test::Witness witness(server_.display, bounds->x, bounds->y, bounds->width, bounds->height);

    SerialQueue input("kiv.input");
    auto poster = std::make_shared<XTestEventPoster>(server_.display);
    auto events = InputEventManager::create(
        input, poster,
        [this](std::uint32_t displayID) -> std::optional<Rect> {
            const auto b = adapter_->bounds(displayID);
            if (!b) return std::nullopt;
            return Rect{static_cast<double>(b->x), static_cast<double>(b->y), static_cast<double>(b->width),
                        static_cast<double>(b->height)};
        },
        nullptr, [] { return 0.0; });
    events->setDisplayID(*id);
    events->handle(InputEvent{InputEvent::Kind::tap, 0.5, 0.5, 0, 0, 1, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.pointer(), (std::pair<int, int>{bounds->x + 640, bounds->y + 540}));
    EXPECT_EQ(witness.events[0].type, XCB_BUTTON_PRESS);
    EXPECT_EQ(witness.events[0].x, 640) << "window coordinates";
    EXPECT_EQ(witness.events[0].y, 540);
    EXPECT_EQ(witness.events[1].type, XCB_BUTTON_RELEASE);
    witness.events.clear();

    // 0.01 of 1,080 is 10.8 pixels: four make one wheel step, upwards for a positive dy.
    for (int i = 0; i < 4; ++i)
        events->handle(InputEvent{InputEvent::Kind::scroll, 0.5, 0.5, 0, 0.01, 2, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.events[0].detail, 4);
    manager->destroyDisplay();
}

// The X server has one scale for all monitors: a HiDPI display has as many pixels per point as
// the desktop draws (its Xft.dpi), so its text is the desktop's size, while its modes keep their
// 2× backing for the stream. A change of the desktop's scale reaches the next mode change.
TEST_P(RandRDisplays, AHiDPIDisplayIsDrawnAtTheDesktopsOwnScale) {
    auto manager = VirtualDisplayManager::create(adapter_, clock_);
    auto hiDPI = config("Tablet", {1280, 800, 60});
    hiDPI.hiDPI = true;
    hiDPI.additionalModes = {{1024, 640, 60}};
    const auto id = manager->createDisplay(hiDPI);
    ASSERT_TRUE(id.has_value()) << id.error().text();
    const auto size = [&] {
        const auto b = adapter_->bounds(*id);
        return b ? std::pair{b->width, b->height} : std::pair{0, 0};
    };
    EXPECT_EQ(size(), (std::pair{1280, 800})) << "no Xft.dpi: the desktop draws at 1×";
    EXPECT_EQ(manager->drawnSize(), size());
    EXPECT_EQ(manager->currentMode(), (ScreenModeInfo{1280, 800, 2560, 1600}));

    const auto setDpi = [&](const std::string& dpi) {
        return test::runProgram({"xprop", "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                                 "Xft.antialias:\t1\nXft.dpi:\t" + dpi + "\nXft.hinting:\t1\n"},
                                {{"DISPLAY", server_.display}})
            .exitCode;
    };
    ASSERT_EQ(setDpi("192"), 0);
    EXPECT_EQ(size(), (std::pair{1280, 800})) << "until its mode changes";
    ASSERT_TRUE(manager->selectMode(1024, 640, 2048, 1280));
    EXPECT_EQ(size(), (std::pair{2048, 1280}));
    EXPECT_EQ(manager->drawnSize(), size());
    EXPECT_EQ(manager->currentMode(), (ScreenModeInfo{1024, 640, 2048, 1280}));

    ASSERT_EQ(setDpi("144"), 0);
    ASSERT_EQ(manager->setResolution({1280, 800, 60}), *id);
    EXPECT_EQ(size(), (std::pair{1920, 1200}));
    EXPECT_EQ(manager->currentMode(), (ScreenModeInfo{1280, 800, 2560, 1600}));

    ASSERT_EQ(setDpi("400"), 0); // beyond 2× is drawn at 2×
    ASSERT_EQ(manager->setResolution({1024, 640, 60}), *id);
    EXPECT_EQ(size(), (std::pair{2048, 1280}));
    manager->destroyDisplay();
}

// Another device's display goes away and the layout closes the gap: this display moves, and its
// capture follows it instead of grabbing where it used to be.
TEST_P(RandRDisplays, ACaptureFollowsItsDisplayWhenTheLayoutMovesIt) {
    auto other = VirtualDisplayManager::create(adapter_, clock_);
    auto mine = VirtualDisplayManager::create(adapter_, clock_);
    ASSERT_TRUE(other->createDisplay(config("Other", {1024, 768, 60})).has_value());
    const auto id = mine->createDisplay(config("Mine", {640, 480, 60}));
    ASSERT_TRUE(id.has_value()) << id.error().text();
    const auto before = adapter_->bounds(*id);
    ASSERT_TRUE(before);

    SerialQueue captureQueue("kiv.capture");
    auto capture =
        ScreenCaptureManager::create(std::make_unique<X11ScreenGrabber>(server_.display), captureQueue, nullptr);
    std::mutex framesMutex;
    std::shared_ptr<PixelBuffer> latest;
    capture->onFrame = [&](std::shared_ptr<PixelBuffer> buffer, std::uint64_t) {
        auto copy = std::make_shared<PixelBuffer>(*buffer);
        const std::lock_guard lock(framesMutex);
        latest = std::move(copy);
    };
    std::atomic<int> stops{0};
    capture->onStop = [&](std::optional<CaptureError>) { ++stops; };
    test::Signal started;
    capture->start(*id, 640, 480, 30, [&](std::expected<void, CaptureError> result) {
        EXPECT_TRUE(result.has_value());
        started.notify();
    });
    ASSERT_TRUE(started.waitFor());

    other->destroyDisplay();
    const auto after = adapter_->bounds(*id);
    ASSERT_TRUE(after);
    ASSERT_NE(after->x, before->x) << "the layout moved the display";
    // White where the display is now: only a capture at the new place sees it.
    test::Painter painter(server_.display);
    const auto centreLuma = [&] {
        const std::lock_guard lock(framesMutex);
        return latest ? latest->luma()[240 * latest->lumaStride() + 320] : 0;
    };
    ASSERT_TRUE(test::waitUntil(
        [&] {
            painter.fill(0xFFFFFF, after->x, after->y, after->width, after->height);
            return centreLuma() > 200;
        },
        20s, 100ms))
        << "the capture grabs the display where it is now";
    EXPECT_EQ(stops, 0);
    capture->stop();
    mine->destroyDisplay();
}

INSTANTIATE_TEST_SUITE_P(Servers, RandRDisplays, ::testing::Values(ServerKind::xorgDummy, ServerKind::xvfb),
                         [](const auto& info) { return info.param == ServerKind::xorgDummy ? "XorgDummy" : "Xvfb"; });

// An Xvfb cannot grow past the screen it was started with: the display is refused (a session then
// mirrors the desktop) and the log says why and what to do, once, instead of a bare BadMatch.
TEST(RandRSmallScreen, AScreenThatCannotGrowRefusesTheDisplayAndSaysWhyOnce) {
    auto xvfb = test::XvfbServer::start(1920, 1080);
    KIV_REQUIRE_STARTED(xvfb);
    const auto display = (*xvfb)->display();
    auto adapter = std::make_shared<RandRVirtualDisplayAdapter>(display, [](const std::function<void()>&) {});
    ASSERT_TRUE(adapter->isSupported());
    // Said before any device comes, with what to do.
    const auto room = adapter->roomProblem();
    EXPECT_NE(room.find("cannot grow past 1920x1080"), std::string::npos) << room;
    EXPECT_NE(room.find("-noreset -screen 0 8192x8192x24"), std::string::npos) << room;
    SerialQueue queue{"kiv.display.test"};
    auto manager = VirtualDisplayManager::create(adapter, std::make_shared<ExecutorDisplayClock>(queue));
    KivLogStore::shared().clear();
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto id = manager->createDisplay({"Tablet", {1280, 800, 60}, {}, false, 132, 0x4B49, 1, 2});
        EXPECT_FALSE(id.has_value());
    }
    const auto log = KivLogStore::shared().text(LogLevel::debug);
    const std::string why = "The X server's screen cannot grow to 3200x1080: its largest is 1920x1080";
    const auto at = log.find(why);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find(why, at + 1), std::string::npos) << "said once\n" << log;
    // A larger -screen alone would not do: the desktop fills whatever size an Xvfb starts with.
    EXPECT_NE(log.find("give the desktop a smaller size", at), std::string::npos) << log;
    EXPECT_EQ(screenSize(display), (std::pair{1920, 1080}));
    for (const auto& [name, bounds] : listMonitors(display))
        EXPECT_EQ(name.rfind("KIV-", 0), std::string::npos) << name << " left behind";
}

// On Xorg the limit is the graphics driver's: the advice is about the desktop's own monitors and
// xorg.conf, not about starting an Xvfb (whose advice the test above checks in full).
TEST(RandRSmallScreen, XorgGetsAdviceForXorgAndXvfbForXvfb) {
    auto xorg = test::XorgDummyServer::start();
    KIV_REQUIRE_STARTED(xorg);
    auto xvfb = test::XvfbServer::start(640, 480);
    KIV_REQUIRE_STARTED(xvfb);
    const auto advice = [](const std::string& display) {
        return RandRVirtualDisplayAdapter(display, [](const std::function<void()>&) {}).limitAdvice();
    };
    const auto onXorg = advice((*xorg)->display());
    EXPECT_NE(onXorg.find("the graphics driver's limit"), std::string::npos) << onXorg;
    EXPECT_NE(onXorg.find("xorg.conf"), std::string::npos) << onXorg;
    EXPECT_EQ(onXorg.find("Xvfb"), std::string::npos) << onXorg;
    const auto onXvfb = advice((*xvfb)->display());
    EXPECT_NE(onXvfb.find("-noreset -screen 0 8192x8192x24"), std::string::npos) << onXvfb;
}

// Whoever takes back a killed host's monitors first waits until the server has closed the host's
// connection: requests the host sent just before it died are then done, not still to come.
TEST(RandRLeftovers, TakingBackWaitsUntilTheServerIsDoneWithTheClientThatDied) {
    auto xvfb = test::XvfbServer::start(640, 480);
    KIV_REQUIRE_STARTED(xvfb);
    const auto display = (*xvfb)->display();
    test::TempDir folder("kiv-x-client");
    auto client = test::ChildProcess::start(
        {.argv = {test::findProgram("stdbuf").value_or("stdbuf"), "-oL", "xev", "-root", "-event", "property"},
         .environment = {{"DISPLAY", display}},
         .logFile = folder.path() / "xev.log",
         .keepFds = {}});
    ASSERT_TRUE(client) << client.error();
    // Connected once it hears a property change on the root window.
    ASSERT_TRUE(test::waitUntil(
        [&] {
            test::runProgram({"xprop", "-root", "-f", "_KIV_PROBE", "8s", "-set", "_KIV_PROBE", "x"},
                             {{"DISPLAY", display}});
            return client->log().find("PropertyNotify") != std::string::npos;
        },
        20s, 100ms))
        << client->log();
    const auto waited = [&] {
        const auto start = std::chrono::steady_clock::now();
        RandRVirtualDisplayAdapter::awaitClientGone(display, client->pid(), 400ms);
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_GE(waited(), 400ms) << "a connected client is waited for, up to the limit";
    ::kill(client->pid(), SIGKILL);
    client->stop(5s);
    EXPECT_LT(waited(), 300ms) << "one that is gone is not";
}
