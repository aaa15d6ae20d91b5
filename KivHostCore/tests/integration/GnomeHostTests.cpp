// The host on a real headless GNOME compositor (mutter, with its session bus, PipeWire and
// WirePlumber): each device's monitor is a virtual monitor the compositor makes for a screen-cast
// stream, what a client draws there is what the device decodes, and its touches land there through
// the remote-desktop session. One compositor per group.
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "CompositorHost.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/FakeUsbmuxd.hpp"
#include "KivHostCore/Testing/HeadlessMutter.hpp"
#include "KivHostCore/Testing/WaylandPainter.hpp"

namespace {

class GnomeHost : public CompositorHost<test::HeadlessMutter> {
protected:
    void useCompositor(LinuxPlatformOptions& options) const override {
        options.backend = DisplayBackend::gnome;
        options.gnomeBus = compositor_->busAddress();
        options.pipewireRemote = compositor_->pipewireRemote();
    }
    std::string name() const override { return "GNOME"; }

    void startHost() {
        CompositorHost::startHost();
        ASSERT_TRUE(platform_->canCapture()) << "the main screen's place is read from the compositor";
    }
    // A window of our own filling the monitor at `r`.
    using CompositorHost::window;
    std::unique_ptr<Window> window(const Rect& r, const std::string& rgb) {
        return window(fmt::format("@{},{}", r.x, r.y), rgb);
    }
};

// On a desktop scaled to 2×, a HiDPI mode gets two pixels per point, as every other monitor does
// there: its text is the desktop's size and as sharp.
TEST(GnomeScaled, AHiDPIModeGetsThePixelsPerPointTheCompositorDrawsItAt) {
    auto mutter = test::HeadlessMutter::start("1280x720", 2);
    if (!mutter && mutter.error().notInstalled) KIV_SKIP_OR_FAIL(mutter.error().message);
    ASSERT_TRUE(mutter) << mutter.error().message;
    MutterDesktop desktop((*mutter)->desktopOptions());
    ASSERT_TRUE(desktop.isSupported()) << desktop.problem();
    auto display = desktop.create({}, [] {});
    ASSERT_TRUE(display);
    ASSERT_TRUE(display->applyModes({{640, 480, 60}}, true));
    EXPECT_EQ(desktop.currentMode(display->displayID()), (ScreenModeInfo{640, 480, 1280, 960}));
    std::optional<MutterDesktop::Screen> ours;
    for (const auto& screen : MutterDesktop::screens((*mutter)->busAddress()))
        if (!screen.primary) ours = screen;
    ASSERT_TRUE(ours);
    EXPECT_EQ(ours->scale, 2);
    EXPECT_EQ(std::pair(ours->pixelWidth, ours->pixelHeight), std::pair(1280, 960));
}

// The compositor's monitor at a place of the layout.
std::optional<MutterDesktop::Screen> screenAt(const test::HeadlessMutter& mutter, const Rect& r) {
    for (const auto& s : MutterDesktop::screens(mutter.busAddress()))
        if (s.rect.x == static_cast<int>(r.x) && s.rect.y == static_cast<int>(r.y)) return s;
    return std::nullopt;
}

// The monitor's shape is the device's picture's (its size is the resolver's, as on X11).
void expectShapeOf(const Rect& monitor, std::optional<std::pair<int, int>> picture) {
    ASSERT_TRUE(picture);
    EXPECT_NEAR(monitor.width / monitor.height, static_cast<double>(picture->first) / picture->second, 0.01);
}

TEST_F(GnomeHost, EachDeviceGetsAMonitorThatShowsWhatIsDrawnThereAndTakesItsTouches) {
    startHost();
    auto first = connect("gnome-0001");
    auto second = connect("gnome-0002", {1024, 768, 1, Orientation::landscape});
    // The layout settles once the compositor has said where the second monitor put the first.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto a = monitorOf("gnome-0001");
            const auto b = monitorOf("gnome-0002");
            return a && b && screenAt(*compositor_, *a) && screenAt(*compositor_, *b);
        },
        kDeadline));
    const auto r1 = *monitorOf("gnome-0001");
    const auto r2 = *monitorOf("gnome-0002");
    expectShapeOf(r1, first->seen.pictureSize());
    expectShapeOf(r2, second->seen.pictureSize());
    EXPECT_TRUE(r2.x >= r1.x + r1.width || r1.x >= r2.x + r2.width) << "side by side, not overlapping";
    EXPECT_GE(screenAt(*compositor_, r1).value_or(MutterDesktop::Screen{}).refresh, 119)
        << "the monitor runs faster than the stream";

    // What a client draws on each monitor is what that device decodes. (The compositor moves the
    // windows of virtual monitors to the main screen whenever a monitor comes or goes, so the
    // windows are opened once both monitors exist.)
    auto red = window(r1, "d02010");
    auto blue = window(r2, "1030c0");
    ASSERT_TRUE(red && blue);
    const double redLuma = lumaOf(0xd0, 0x20, 0x10);
    const double blueLuma = lumaOf(0x10, 0x30, 0xc0);
    const auto shows = [](WiFiDevice& device, double luma) {
        return waitUntil(
            [&] {
                const auto mean = device.seen.meanLuma();
                return mean && std::abs(*mean - luma) < 8;
            },
            kDeadline);
    };
    EXPECT_TRUE(shows(*first, redLuma)) << "decoded " << first->seen.meanLuma().value_or(-1) << ", drawn " << redLuma;
    EXPECT_TRUE(shows(*second, blueLuma)) << "decoded " << second->seen.meanLuma().value_or(-1);

    // A tap presses and releases the left button at the mapped point of that monitor.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto s = first->seen.all<InputStatus>();
            return !s.empty() && s.back().enabled;
        },
        kDeadline));
    const std::string press =
        fmt::format("button {} {} 272 1", static_cast<int>(0.25 * r1.width), static_cast<int>(0.5 * r1.height));
    std::uint32_t sequence = 1;
    auto lastTap = std::chrono::steady_clock::time_point{};
    EXPECT_TRUE(waitUntil(
        [&] {
            if (std::chrono::steady_clock::now() - lastTap > 1s) {
                first->client.send({InputEvent{InputEvent::Kind::tap, 0.25, 0.5, 0, 0, sequence++, 0}});
                lastTap = std::chrono::steady_clock::now();
            }
            return red->lines().find(press) != std::string::npos;
        },
        kDeadline))
        << red->lines();
    EXPECT_TRUE(waitUntil([&] { return red->lines().find("272 0") != std::string::npos; }, kDeadline)) << "released";
    EXPECT_EQ(blue->lines().find("button"), std::string::npos) << "nothing on the other device's monitor";
    // The shortcut keys (Left arrow: evdev 105) go to the window under the pointer.
    auto lastKey = std::chrono::steady_clock::time_point{};
    EXPECT_TRUE(waitUntil(
        [&] {
            if (std::chrono::steady_clock::now() - lastKey > 1s) {
                platform_->ports().poster->key(123, true, 0);
                platform_->ports().poster->key(123, false, 0);
                lastKey = std::chrono::steady_clock::now();
            }
            return red->lines().find("key 105 1") != std::string::npos;
        },
        kDeadline))
        << red->lines();
    // Scrolling is smooth, in pixels: 30 pixels "up" of the device's content is the window's axis moving down.
    platform_->ports().poster->scroll(-30, 0, r1.x + 100, r1.y + 100);
    EXPECT_TRUE(waitUntil([&] { return red->lines().find("axis 0 30") != std::string::npos; }, kDeadline))
        << red->lines();

    // A device that leaves takes its monitor with it, and nothing of ours outlives the host.
    second.reset();
    EXPECT_TRUE(waitUntil([&] { return !monitorOf("gnome-0002"); }, kDeadline));
    EXPECT_TRUE(waitUntil([&] { return !screenAt(*compositor_, r2); }, kDeadline)) << "the compositor dropped it";
    first.reset();
    stopHost();
    EXPECT_TRUE(waitUntil([&] { return MutterDesktop::screens(compositor_->busAddress()).size() == 1; }, kDeadline))
        << "only the compositor's own monitor is left";
}

// The usbmuxd stand-in carries the USB leg; the device keeps its session and its monitor.
TEST_F(GnomeHost, ALinkSwitchKeepsTheDevicesMonitor) {
    test::FakeUsbmuxd usbmuxd;
    ::setenv("KIV_USBMUXD_SOCKET", usbmuxd.socketPath().c_str(), 1);
    usbEnabled_ = true;
    startHost();
    auto hello = helloFor("gnome-0020", "Moving tablet");
    auto wifi = std::make_unique<WiFiDevice>(hello, controlPort_);
    ASSERT_TRUE(waitUntil([&] { return wifi->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return monitorOf("gnome-0020").has_value(); }, kDeadline));
    const auto before = *monitorOf("gnome-0020");
    const auto connector = screenAt(*compositor_, before)->connector;
    const auto created = test::countLogged("virtual display via a screen-cast virtual monitor");

    hello.token = wifi->seen.connects().front().token;
    auto usb = std::make_unique<UsbDevice>(hello, 0);
    usbmuxd.setDevice(7, {"00008103-0A0B0C0D0E0F", true, 0, usb->server.port()});
    usbmuxd.attach(7);
    ASSERT_TRUE(waitUntil([&] { return usb->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(usb->seen.connects().front().sessionID, wifi->seen.connects().front().sessionID);
    auto bright = window(before, "e0e0e0");
    ASSERT_TRUE(bright);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = usb->seen.meanLuma();
            return mean && *mean > 180;
        },
        kDeadline))
        << "the monitor's picture arrives over the USB link";
    ASSERT_TRUE(monitorOf("gnome-0020"));
    EXPECT_EQ(screenAt(*compositor_, *monitorOf("gnome-0020"))->connector, connector);
    EXPECT_EQ(test::countLogged("virtual display via a screen-cast virtual monitor"), created)
        << "no monitor made for the switch";
    usbmuxd.detach(7);
    ::unsetenv("KIV_USBMUXD_SOCKET");
}

// The monitor and its capture alone: the monitor takes the asked size and a new one on a mode
// change; pictures come only when it changes; a recycled buffer gets every change since its own
// picture although only the changed rows are converted.
TEST_F(GnomeHost, MonitorsFollowTheirModeAndTheirCaptureMissesNothing) {
    MutterDesktop desktop(compositor_->desktopOptions());
    ASSERT_TRUE(desktop.isSupported()) << desktop.problem();
    int ended = 0;
    auto display = desktop.create({}, [&] { ++ended; });
    ASSERT_TRUE(display);
    const auto id = display->displayID();
    VirtualDisplayMode small{640, 480, 60};
    VirtualDisplayMode large{800, 600, 60};
    // A HiDPI mode is drawn at the compositor's scale for the monitor (1 here), not at 2× its points.
    ASSERT_TRUE(display->applyModes({small}, true));
    ASSERT_TRUE(desktop.bounds(id));
    EXPECT_EQ(std::pair(desktop.bounds(id)->width, desktop.bounds(id)->height), std::pair(640, 480));
    EXPECT_EQ(desktop.currentMode(id), (ScreenModeInfo{640, 480, 1280, 960}));
    ASSERT_TRUE(display->applyModes({large, small}, false));
    ASSERT_TRUE(desktop.bounds(id));
    EXPECT_EQ(desktop.bounds(id)->width, 800);
    EXPECT_EQ(desktop.modes(id).size(), 2u);
    ASSERT_TRUE(desktop.configureMode(id, desktop.modes(id)[1]));
    ASSERT_TRUE(desktop.bounds(id));
    const auto area = *desktop.bounds(id);
    EXPECT_EQ(std::pair(area.width, area.height), std::pair(640, 480)) << "a mode change makes the monitor anew";
    EXPECT_EQ(desktop.currentMode(id)->pixelWidth, 640u);

    auto painter =
        test::WaylandPainter::open(KIV_WAYLAND_PROBE, compositor_->wayland(), fmt::format("@{},{}", area.x, area.y),
                                   {area.x, area.y, area.width, area.height}, folder_.path() / "painter.log");
    ASSERT_TRUE(painter) << painter.error();
    SerialQueue queue("kiv.capture");
    auto grabber = desktop.makeGrabber();
    std::atomic<int> changes{0};
    queue.sync([&] {
        ASSERT_TRUE(grabber->open(queue));
        EXPECT_EQ(grabber->displayRect(std::nullopt)->width, 1280) << "no ID: the compositor's main screen";
        EXPECT_EQ(grabber->displayRect(id), area);
        grabber->watch(area, {.changed = [&](bool) { ++changes; }, .layoutChanged = {}, .lost = {}});
    });
    PixelBuffer pool[2] = {PixelBuffer(640, 480), PixelBuffer(640, 480)};
    const auto same = [](const PixelBuffer& a, const PixelBuffer& b) {
        return std::memcmp(a.luma(), b.luma(), static_cast<std::size_t>(a.lumaStride()) * 480) == 0 &&
               std::memcmp(a.chroma(), b.chroma(), static_cast<std::size_t>(a.chromaStride()) * 240) == 0;
    };
    // A paint may reach the monitor over more than one compositor frame: wait until none comes.
    const auto quiet = [&] {
        int last = -1;
        return waitUntil(
            [&] {
                const int now = changes;
                return std::exchange(last, now) == now;
            },
            kDeadline, 200ms);
    };
    const std::uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x808000, 0x008080};
    for (int i = 0; i < 6; ++i) {
        const int seen = changes;
        painter->get()->fill(colours[i], area.x + 40 * i, area.y + 30 * i, 200, 60);
        ASSERT_TRUE(waitUntil([&] { return changes > seen; }, kDeadline)) << "a change arrives";
        ASSERT_TRUE(quiet());
        PixelBuffer whole(640, 480);
        auto& recycled = pool[i % 2];
        queue.sync([&] {
            ASSERT_TRUE(grabber->grab(area, recycled, false));
            whole.contentTag = 0;
            ASSERT_TRUE(grabber->grab(area, whole, false)); // a buffer of no known picture: converted whole
        });
        EXPECT_TRUE(same(recycled, whole)) << "after change " << i;
    }
    const int settled = changes;
    std::this_thread::sleep_for(500ms); // a still monitor: nothing more arrives
    EXPECT_EQ(changes, settled);
    queue.sync([&] { grabber->close(); });
    display.reset();
    EXPECT_FALSE(desktop.isOnline(id));
    EXPECT_EQ(ended, 0) << "our own removal is not reported as the system's";
}

// The compositor's power-save mode is the displays' sleep (polled every 2 s).
TEST_F(GnomeHost, DisplaySleepFollowsTheCompositorsPowerSaveMode) {
    startHost();
    std::atomic<int> slept{0}, woke{0};
    const auto token = platform_->ports().power->observe({.displaysDidSleep = [&] { ++slept; },
                                                          .displaysDidWake = [&] { ++woke; },
                                                          .systemWillSleep = {},
                                                          .systemDidWake = {}});
    const auto setMode = [&](int mode) {
        const auto result = runProgram(
            {"gdbus", "call", "--address", compositor_->busAddress(), "--dest", "org.gnome.Mutter.DisplayConfig",
             "--object-path", "/org/gnome/Mutter/DisplayConfig", "--method", "org.freedesktop.DBus.Properties.Set",
             "org.gnome.Mutter.DisplayConfig", "PowerSaveMode", fmt::format("<{}>", mode)});
        EXPECT_EQ(result.exitCode, 0) << result.output;
    };
    setMode(3);
    EXPECT_TRUE(waitUntil([&] { return slept == 1; }, kDeadline));
    setMode(0);
    EXPECT_TRUE(waitUntil([&] { return woke == 1; }, kDeadline));
    EXPECT_EQ(slept, 1);
}

// What is missing is said in one sentence that names it.
TEST_F(GnomeHost, AMissingServiceIsNamed) {
    auto options = compositor_->desktopOptions();
    options.pipewireRemote = folder_.path() / "no-pipewire";
    MutterDesktop noPipeWire(options);
    EXPECT_FALSE(noPipeWire.isSupported());
    EXPECT_NE(noPipeWire.problem().find("PipeWire"), std::string::npos) << noPipeWire.problem();
    options = compositor_->desktopOptions();
    options.busAddress = "unix:path=" + (folder_.path() / "no-bus").string();
    MutterDesktop noBus(options);
    EXPECT_FALSE(noBus.isSupported());
    EXPECT_NE(noBus.problem().find("session bus"), std::string::npos) << noBus.problem();
    EXPECT_EQ(noBus.create({}, [] {}), nullptr);
}

// A compositor that goes away ends every monitor and tells each device; the next device is served
// by the compositor that comes back.
TEST_F(GnomeHost, ACompositorThatGoesAwayEndsTheSessionAndTheNextOneWorksWhenItIsBack) {
    startHost();
    auto device = connect("gnome-0010");
    ASSERT_TRUE(device);
    ASSERT_TRUE(compositor_->restartCompositor());
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& d : device->seen.all<Disconnect>())
                if (d.reason.find("removed") != std::string::npos) return true;
            return false;
        },
        kDeadline))
        << "the device is told its display is gone";
    device.reset();

    auto again = connect("gnome-0011");
    const auto r = monitorOf("gnome-0011");
    ASSERT_TRUE(r) << "a monitor on the compositor that came back";
    auto green = window(*r, "20b040");
    ASSERT_TRUE(green);
    const double greenLuma = lumaOf(0x20, 0xb0, 0x40);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = again->seen.meanLuma();
            return mean && std::abs(*mean - greenLuma) < 8;
        },
        kDeadline));
}

} // namespace
