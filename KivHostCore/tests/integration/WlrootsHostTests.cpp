// The host on a real headless sway: each device's monitor is an output of the compositor, what a
// client draws there is what the device decodes, and its touches land there through the virtual
// pointer. One compositor per group (sway 1.7 cannot remove an output).
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

#include "CompositorHost.hpp"
#include "KivBase/KivLog.hpp"
#include "KivHostCore/Linux/WlrScreenGrabber.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/FakeUsbmuxd.hpp"
#include "KivHostCore/Testing/HeadlessSway.hpp"
#include "KivHostCore/Testing/WaylandPainter.hpp"

namespace {

class WlrootsHost : public CompositorHost<test::HeadlessSway> {
protected:
    void useCompositor(LinuxPlatformOptions& options) const override {
        options.backend = DisplayBackend::wlroots;
        options.waylandDisplay = compositor_->wayland();
        options.swaySocket = compositor_->ipc();
        options.waylandRuntimeDir = compositor_->folder();
    }
    std::string name() const override { return "Sway"; }

    // The compositor's output at a monitor's place.
    std::optional<SwayOutput> outputAt(const Rect& r) {
        for (const auto& o : compositor_->outputs())
            if (o.active && o.x == static_cast<int>(r.x) && o.y == static_cast<int>(r.y)) return o;
        return std::nullopt;
    }
};

TEST_F(WlrootsHost, EachDeviceGetsAnOutputThatShowsWhatIsDrawnThereAndTakesItsTouches) {
    startHost();
    auto first = connect("wlr-0001");
    const auto r1 = *monitorOf("wlr-0001");
    const auto out1 = outputAt(r1);
    ASSERT_TRUE(out1) << "an output of the compositor at the device's monitor";
    EXPECT_GE(out1->refreshMilliHz, 119'000) << "the output runs faster than the stream";

    // What a client draws on the output is what the device decodes.
    auto red = window(out1->name, "d02010");
    ASSERT_TRUE(red);
    const double redLuma = lumaOf(0xd0, 0x20, 0x10);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = first->seen.meanLuma();
            return mean && std::abs(*mean - redLuma) < 8;
        },
        kDeadline))
        << "decoded luma " << first->seen.meanLuma().value_or(-1) << ", drawn " << redLuma;

    // A tap presses and releases the left button at the mapped point of that output.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto s = first->seen.all<InputStatus>();
            return !s.empty() && s.back().enabled;
        },
        kDeadline));
    // The window takes the pointer once the host's virtual pointer exists (made at the first
    // touch), so taps are sent until one lands.
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
    // The shortcut keys go through the virtual keyboard (Left arrow: evdev 105), likewise made at first use.
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

    // A second device gets a second output of its own, beside the first.
    auto second = connect("wlr-0002", {1024, 768, 1, Orientation::landscape});
    const auto r2 = *monitorOf("wlr-0002");
    const auto out2 = outputAt(r2);
    ASSERT_TRUE(out2);
    EXPECT_NE(out2->name, out1->name);
    EXPECT_GE(r2.x, r1.x + r1.width) << "laid out right of the first";
    auto blue = window(out2->name, "1030c0");
    ASSERT_TRUE(blue);
    const double blueLuma = lumaOf(0x10, 0x30, 0xc0);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = second->seen.meanLuma();
            return mean && std::abs(*mean - blueLuma) < 8;
        },
        kDeadline));
    EXPECT_LT(std::abs(*first->seen.meanLuma() - redLuma), 8) << "the first device still sees its own output";

    // The session's end lets go of the output: the next device gets it back rather than a new one.
    second.reset();
    ASSERT_TRUE(waitUntil([&] { return !monitorOf("wlr-0002"); }, kDeadline)) << [&] {
        std::string s;
        const std::lock_guard lock(statusMutex_);
        for (const auto& d : status_.devices)
            s += d.deviceID.value_or("?") + " " + std::to_string(d.displayID.value_or(0)) + "; ";
        return s;
    }();
    const auto outputsBefore = compositor_->outputs().size();
    auto third = connect("wlr-0003", {1024, 768, 1, Orientation::landscape});
    ASSERT_TRUE(monitorOf("wlr-0003"));
    EXPECT_EQ(outputAt(*monitorOf("wlr-0003"))->name, out2->name);
    EXPECT_EQ(compositor_->outputs().size(), outputsBefore) << "no output made for it";
}

// The capture alone: copies come only when the output changes, and a recycled buffer gets every
// change since its own picture although only the changed rows are converted.
TEST_F(WlrootsHost, CaptureConvertsWhatChangedAndMissesNothing) {
    SwayIpc ipc;
    ASSERT_TRUE(ipc.connect(compositor_->ipc()));
    const auto before = compositor_->outputs();
    ASSERT_TRUE(ipc.command("create_output"));
    std::string name;
    for (const auto& o : compositor_->outputs())
        if (std::none_of(before.begin(), before.end(), [&](const SwayOutput& b) { return b.name == o.name; }))
            name = o.name;
    ASSERT_FALSE(name.empty());
    ASSERT_TRUE(ipc.command("output " + name + " mode 640x480@120Hz pos 20000 0"));
    const ScreenRect area{20000, 0, 640, 480};
    auto painter = test::WaylandPainter::open(KIV_WAYLAND_PROBE, compositor_->wayland(), name, {20000, 0, 640, 480},
                                              folder_.path() / "painter.log");
    ASSERT_TRUE(painter) << painter.error();

    SerialQueue queue("kiv.capture");
    WlrScreenGrabber grabber(compositor_->wayland(), {});
    std::atomic<int> changes{0}, fresh{0};
    queue.sync([&] {
        ASSERT_TRUE(grabber.open(queue));
        EXPECT_EQ(grabber.displayRect(std::nullopt)->width, 1280) << "no ID: the compositor's first output";
        grabber.watch(area, {.changed =
                                 [&](bool isFresh) {
                                     fresh += isFresh ? 1 : 0;
                                     ++changes;
                                 },
                             .layoutChanged = {},
                             .lost = {}});
    });
    PixelBuffer pool[2] = {PixelBuffer(640, 480), PixelBuffer(640, 480)};
    const auto same = [](const PixelBuffer& a, const PixelBuffer& b) {
        return std::memcmp(a.luma(), b.luma(), static_cast<std::size_t>(a.lumaStride()) * 480) == 0 &&
               std::memcmp(a.chroma(), b.chroma(), static_cast<std::size_t>(a.chromaStride()) * 240) == 0;
    };
    const std::uint32_t colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff, 0x808000, 0x008080};
    for (int i = 0; i < 6; ++i) {
        const int seen = changes;
        (*painter)->fill(colours[i], 20000 + 40 * i, 30 * i, 200, 60);
        ASSERT_TRUE(waitUntil([&] { return changes > seen; }, kDeadline)) << "a change is copied";
        PixelBuffer whole(640, 480);
        auto& recycled = pool[i % 2];
        queue.sync([&] {
            ASSERT_TRUE(grabber.grab(area, recycled, false));
            whole.contentTag = 0;
            ASSERT_TRUE(grabber.grab(area, whole, false)); // a buffer of no known picture: converted whole
        });
        EXPECT_TRUE(same(recycled, whole)) << "after change " << i;
    }
    EXPECT_GE(fresh, 1) << "a first picture of a quiet output is fresh";
    const int settled = changes;
    std::this_thread::sleep_for(300ms); // a still output: nothing more is copied
    EXPECT_EQ(changes, settled);
    queue.sync([&] { grabber.close(); });
}

// The usbmuxd stand-in carries the USB leg; the device keeps its session and its output.
TEST_F(WlrootsHost, ALinkSwitchKeepsTheDevicesOutput) {
    test::FakeUsbmuxd usbmuxd;
    ::setenv("KIV_USBMUXD_SOCKET", usbmuxd.socketPath().c_str(), 1);
    usbEnabled_ = true;
    startHost();
    auto hello = helloFor("wlr-0020", "Moving tablet");
    auto wifi = std::make_unique<WiFiDevice>(hello, controlPort_);
    ASSERT_TRUE(waitUntil([&] { return wifi->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return monitorOf("wlr-0020").has_value(); }, kDeadline));
    const auto output = outputAt(*monitorOf("wlr-0020"));
    ASSERT_TRUE(output);
    const auto created = test::countLogged("virtual display via compositor output");

    hello.token = wifi->seen.connects().front().token;
    auto usb = std::make_unique<UsbDevice>(hello, 0);
    usbmuxd.setDevice(7, {"00008103-0A0B0C0D0E0F", true, 0, usb->server.port()});
    usbmuxd.attach(7);
    ASSERT_TRUE(waitUntil([&] { return usb->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(usb->seen.connects().front().sessionID, wifi->seen.connects().front().sessionID);
    auto window = this->window(output->name, "e0e0e0");
    ASSERT_TRUE(window);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = usb->seen.meanLuma();
            return mean && *mean > 180;
        },
        kDeadline))
        << "the output's picture arrives over the USB link";
    ASSERT_TRUE(monitorOf("wlr-0020"));
    EXPECT_EQ(outputAt(*monitorOf("wlr-0020"))->name, output->name);
    EXPECT_EQ(test::countLogged("virtual display via compositor output"), created) << "no output made for the switch";
    usbmuxd.detach(7);
    ::unsetenv("KIV_USBMUXD_SOCKET");
}

// Someone else resizes the device's output: the capture follows it to the new size, and the
// device keeps seeing what is drawn there.
TEST_F(WlrootsHost, AnOutputResizedBehindOurBackKeepsItsPicture) {
    startHost();
    auto device = connect("wlr-0030");
    const auto r = monitorOf("wlr-0030");
    ASSERT_TRUE(r);
    const auto out = outputAt(*r);
    ASSERT_TRUE(out);
    SwayIpc ipc;
    ASSERT_TRUE(ipc.connect(compositor_->ipc()));
    ASSERT_TRUE(ipc.command(fmt::format("output {} mode 800x600@60Hz", out->name)));
    // The output's size in the layout is its new mode over its scale.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto now = monitorOf("wlr-0030");
            const auto output = now ? outputAt(*now) : std::nullopt;
            return output && output->modeWidth == 800 && now->width == output->width && now->width < r->width;
        },
        kDeadline))
        << "the display's bounds follow the output";
    auto orange = window(out->name, "e08020");
    ASSERT_TRUE(orange);
    const double orangeLuma = lumaOf(0xe0, 0x80, 0x20);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = device->seen.middleLuma(); // a 4:3 output in a 16:10 picture has bars
            return mean && std::abs(*mean - orangeLuma) < 8;
        },
        kDeadline))
        << "decoded " << device->seen.middleLuma().value_or(-1) << ", drawn " << orangeLuma;
}

TEST_F(WlrootsHost, ADeviceOutputFollowsTheUsersOutputWhenItIsGivenAnotherSize) {
    startHost();
    auto device = connect("wlr-0031");
    const auto r = monitorOf("wlr-0031");
    ASSERT_TRUE(r);
    const auto ours = outputAt(*r);
    ASSERT_TRUE(ours);
    // The right edge of every other output (this group's compositor also keeps earlier tests' ones).
    const auto othersEnd = [&] {
        int end = 0;
        for (const auto& o : compositor_->outputs())
            if (o.active && o.name != ours->name) end = std::max(end, o.x + o.width);
        return end;
    };
    EXPECT_EQ(static_cast<int>(r->x), othersEnd()) << "right of the user's outputs";
    std::optional<SwayOutput> user;
    for (const auto& o : compositor_->outputs())
        if (o.active && o.x == 0 && o.y == 0) user = o;
    ASSERT_TRUE(user);
    SwayIpc ipc;
    ASSERT_TRUE(ipc.connect(compositor_->ipc()));
    for (const auto* mode : {"640x480@60Hz", "2400x1600@60Hz"}) {
        ASSERT_TRUE(ipc.command(fmt::format("output {} mode {}", user->name, mode)));
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto now = monitorOf("wlr-0031");
                bool resized = false;
                for (const auto& o : compositor_->outputs())
                    resized = resized || (o.name == user->name && o.modeWidth == std::atoi(mode));
                return now && resized && static_cast<int>(now->x) == othersEnd();
            },
            kDeadline))
            << mode << ": the device's output stays at the right edge, with no gap and nothing over it";
    }
}

TEST_F(WlrootsHost, ACompositorThatGoesAwayEndsTheSessionAndTheNextOneWorksWhenItIsBack) {
    startHost();
    auto device = connect("wlr-0010");
    ASSERT_TRUE(device);
    ASSERT_TRUE(compositor_->restart());
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& d : device->seen.all<Disconnect>())
                if (d.reason.find("removed") != std::string::npos) return true;
            return false;
        },
        kDeadline))
        << "the device is told its display is gone";
    device.reset();

    auto again = connect("wlr-0011");
    const auto r = monitorOf("wlr-0011");
    ASSERT_TRUE(r) << "a monitor on the compositor that came back";
    const auto out = outputAt(*r);
    ASSERT_TRUE(out);
    auto green = window(out->name, "20b040");
    ASSERT_TRUE(green);
    const double greenLuma = lumaOf(0x20, 0xb0, 0x40);
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto mean = again->seen.meanLuma();
            return mean && std::abs(*mean - greenLuma) < 8;
        },
        kDeadline));
    again.reset();

    // Nothing of ours stays in the compositor once the host is gone: no virtual pointer or keyboard.
    stopHost();
    EXPECT_TRUE(waitUntil([&] { return compositor_->inputs().find("virtual") == std::string::npos; }, kDeadline))
        << compositor_->inputs();
}

// sway 1.7 cannot remove an output: a killed host would leave its device's output right of the
// desktop, where the pointer and windows go on to a screen nobody sees. Its guard parks the output
// out of reach and brings the windows on it back to the user's screen; where the guard went too,
// the next host does; and the next device gets that output again instead of a new one.
TEST_F(WlrootsHost, AKilledHostsOutputIsParkedByItsGuardElseByTheNextHostAndIsUsedAgain) {
    const std::vector<std::pair<std::string, std::string>> session{{"SWAYSOCK", compositor_->ipc()},
                                                                   {"WAYLAND_DISPLAY", compositor_->wayland()},
                                                                   {"XDG_RUNTIME_DIR", compositor_->folder()}};
    const auto reachable = [&] { // outputs the pointer can go to
        std::set<std::string> names;
        for (const auto& o : compositor_->outputs())
            if (o.active && (o.width > 16 || o.height > 16)) names.insert(o.name);
        return names;
    };
    const auto userOutputs = reachable();
    const auto outputsBefore = compositor_->outputs().size();
    const auto deviceOutput = [&] {
        for (const auto& name : reachable())
            if (!userOutputs.contains(name)) return name;
        return std::string();
    };
    // The output the probe's window is on.
    const auto windowOutput = [&] {
        for (const auto& w : compositor_->windows())
            if (w.appID == "kiv-probe") return w.output;
        return std::string();
    };
    const auto startWithDevice = [&](const test::TempDir& home, const std::string& id, std::string& output) {
        auto host = HostProcess::start("", home.path(), {"--approve-all", "--backend", "wlroots"},
                                       "unix:/nonexistent/pulse", 0, session);
        EXPECT_TRUE(host) << (host ? "" : host.error());
        if (!host) return std::optional<HostProcess>();
        WiFiDevice device(helloFor(id, "Sway device"), host->controlPort);
        EXPECT_TRUE(waitUntil([&] { return !deviceOutput().empty() && device.seen.meanLuma(); }, kDeadline))
            << host->process.log();
        output = deviceOutput();
        return std::optional<HostProcess>(std::move(*host));
    };

    std::string first, second;
    {
        test::TempDir home("kiv-sway-host");
        auto host = startWithDevice(home, "wlr-kill-0", first);
        ASSERT_TRUE(host && !first.empty());
        auto shown = window(first, "c03030");
        ASSERT_TRUE(shown);
        ASSERT_EQ(windowOutput(), first);
        killWithGuard(host->process);
        EXPECT_TRUE(waitUntil([&] { return reachable() == userOutputs; }, kDeadline)) << "the guard parked it";
        EXPECT_TRUE(userOutputs.contains(windowOutput())) << "and the window is on the user's screen again";
    }
    {
        test::TempDir home("kiv-sway-host");
        auto host = startWithDevice(home, "wlr-kill-1", second);
        ASSERT_TRUE(host);
        EXPECT_EQ(second, first) << "the parked output is used again";
        const auto guard = childOf(host->process.pid());
        ASSERT_TRUE(guard);
        ::kill(*guard, SIGKILL);
        ::kill(host->process.pid(), SIGKILL);
        host->process.stop(5s);
        EXPECT_TRUE(reachable().contains(second)) << "nobody took it back yet";
    }
    test::TempDir home("kiv-sway-host");
    auto last = HostProcess::start("", home.path(), {"--approve-all", "--backend", "wlroots"},
                                   "unix:/nonexistent/pulse", 0, session);
    ASSERT_TRUE(last) << last.error();
    EXPECT_EQ(reachable(), userOutputs);
    EXPECT_NE(last->process.log().find("a previous host left on the compositor"), std::string::npos);
    const int status = last->process.stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LE(compositor_->outputs().size(), outputsBefore + 1) << "at most one output made in all";
}

} // namespace
