// kivdisplay-receiver against kivdisplay-host, both as processes on a private Xvfb: pairing once
// and coming back with the stored token, a refusal's message and exit status, and a recording that
// plays back at the announced size.
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <regex>
#include <xcb/xcb.h>

#include "HostFixture.hpp"
#include "KivHostCore/Testing/HeadlessSway.hpp"
#include "KivProtocol/ControlFraming.hpp"

namespace {

struct ReceiverRun {
    int status = -1;
    std::string output;
    nlohmann::json summary; // the last line
};

ReceiverRun runReceiver(const HostProcess& host, const std::filesystem::path& home, std::vector<std::string> extra) {
    std::vector<std::string> argv{KIV_RECEIVER_BINARY,
                                  "--headless",
                                  "--host",
                                  "127.0.0.1:" + std::to_string(host.controlPort),
                                  "--identity",
                                  (home / "receiver.json").string(),
                                  "--screen",
                                  "1366x1024@2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto result = test::runProgram(argv, {}, 60s);
    ReceiverRun run{result.exitCode, result.output, {}};
    const auto lastLine = result.output.rfind('{');
    if (lastLine != std::string::npos)
        run.summary = nlohmann::json::parse(result.output.substr(lastLine), nullptr, false);
    return run;
}

TEST(ReceiverProcess, PairsOnceComesBackWithItsTokenAndRecordsAPlayableStream) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-home");
    auto host = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(host) << host.error();

    const auto recording = home.path() / "stream.h264";
    const auto first = runReceiver(*host, home.path(), {"--seconds", "3", "--record", recording.string()});
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("Waiting for approval on 127.0.0.1"), std::string::npos) << first.output;
    EXPECT_EQ(first.output.find("ALSA lib"), std::string::npos) << "one line about sound, not the library's steps";
    ASSERT_TRUE(first.summary.is_object()) << first.output;
    EXPECT_GE(first.summary.value("decoded", 0), 1) << first.output;
    EXPECT_GE(first.summary.value("keyframes", 0), 1) << first.output;
    for (const auto* figure : {"latencyP50Ms", "decodeP50Ms"}) // measured, or no figure: never a made-up 0 ms
        EXPECT_TRUE(first.summary[figure].is_null() || first.summary[figure].get<double>() > 0) << first.output;

    // The recording plays back, at the size the host announced.
    const auto probe = test::runProgram(
        {"ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0", recording.string()});
    EXPECT_EQ(probe.exitCode, 0) << probe.output;
    const auto size = first.summary.value("size", std::string());
    ASSERT_FALSE(size.empty());
    EXPECT_NE(probe.output.find(size.substr(0, size.find('x')) + "," + size.substr(size.find('x') + 1)),
              std::string::npos)
        << probe.output << " vs " << size;
    EXPECT_NE(first.output.find(size.substr(0, size.find('x')) + "×" + size.substr(size.find('x') + 1)),
              std::string::npos)
        << "the decoded size is the announced one: " << first.output;

    EXPECT_TRUE(waitUntil(
        [&] { return host->process.log().find("Client disconnected: receiver stopped") != std::string::npos; },
        kDeadline))
        << "a receiver that stops says goodbye";

    // The decoder was measured once and kept with the identity.
    EXPECT_NE(first.output.find("Decoder measured: "), std::string::npos) << first.output;
    const auto stored = nlohmann::json::parse(std::ifstream(home.path() / "receiver.json"), nullptr, false);
    EXPECT_GT(stored.value("decoderMBPerSecond", std::int64_t{0}), 0) << stored.dump();

    // Paired: the second run goes straight to the stream. Its decoder takes less than the host
    // first sends, so it asks for a smaller stream, which then changes size mid-flight; and it
    // asks for 60 fps, which the host's automatic rate on Wi-Fi would not give it.
    const std::regex sixty("stream \\d+×\\d+@60 ");
    EXPECT_FALSE(std::regex_search(host->process.log(), sixty)) << "30 fps on Wi-Fi unless asked";
    const auto smaller = home.path() / "smaller.h264";
    const auto second =
        runReceiver(*host, home.path(),
                    {"--seconds", "3", "--decoder-limit", "800x600", "--fps", "60", "--record", smaller.string()});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(second.output.find("Waiting for approval"), std::string::npos) << second.output;
    EXPECT_EQ(second.output.find("Decoder measured: "), std::string::npos) << "measured once";
    EXPECT_GE(second.summary.value("decoded", 0), 1) << second.output;
    EXPECT_NE(host->process.log().find("Device already paired, auto-accept"), std::string::npos) << host->process.log();
    EXPECT_NE(host->process.log().find("Client requested stream limit 800x600 (decoder capability)"), std::string::npos)
        << second.output;
    const auto asked = host->process.log().find("] Reconfigure [stream] from device #1: ");
    ASSERT_NE(asked, std::string::npos) << host->process.log();
    const auto line = host->process.log().substr(asked, host->process.log().find('\n', asked) - asked);
    EXPECT_TRUE(std::regex_search(line.substr(line.rfind("→")), sixty)) << line;
    int width = 0;
    int height = 0;
    ASSERT_EQ(std::sscanf(second.summary.value("size", std::string()).c_str(), "%dx%d", &width, &height), 2)
        << second.output;
    EXPECT_LE(std::max(width, height), 800);
    EXPECT_LE(std::min(width, height), 600);
    const auto frames = test::runProgram(
        {"ffprobe", "-v", "error", "-show_entries", "frame=width,height", "-of", "csv=p=0", smaller.string()});
    EXPECT_EQ(frames.exitCode, 0) << frames.output;
    EXPECT_NE(frames.output.rfind(std::to_string(width) + "," + std::to_string(height)), std::string::npos)
        << frames.output;
}

TEST(ReceiverProcess, ARefusalEndsWithItsOwnMessageAndStatus) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-refused");
    auto host = HostProcess::start((*xvfb)->display(), home.path(), {}); // no terminal, no --approve-all: refused
    ASSERT_TRUE(host) << host.error();
    const auto run = runReceiver(*host, home.path(), {"--seconds", "20"});
    EXPECT_EQ(run.status, 10 + static_cast<int>(RejectReason::denied)) << run.output;
    EXPECT_NE(run.output.find("refused this device"), std::string::npos) << run.output;
}

// The colours of a rectangle of an X display's root window, as 0xRRGGBB, row by row.
std::vector<std::uint32_t> pixelsAt(const std::string& display, int x, int y, int w, int h) {
    auto* connection = xcb_connect(display.c_str(), nullptr);
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    auto* reply = xcb_get_image_reply(connection,
                                      xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
                                                    static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                                    static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h), ~0u),
                                      nullptr);
    std::vector<std::uint32_t> rgb;
    if (reply && xcb_get_image_data_length(reply) >= 4 * w * h) {
        const auto* p = xcb_get_image_data(reply);
        for (int i = 0; i < w * h; ++i, p += 4)
            rgb.push_back(static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0]);
    }
    std::free(reply);
    xcb_disconnect(connection);
    return rgb;
}

std::optional<std::uint32_t> pixelAt(const std::string& display, int x, int y) {
    const auto one = pixelsAt(display, x, y, 1, 1);
    return one.empty() ? std::nullopt : std::optional(one.front());
}

bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

// The receiver's window on a second X server shows the host's monitor, and a click in it lands on
// that monitor at the same place.
TEST(ReceiverProcess, ItsWindowShowsTheHostsMonitorAndItsClicksLandThere) {
    auto hostX = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(hostX);
    auto deviceX = test::XvfbServer::start(1600, 1000);
    KIV_REQUIRE_STARTED(deviceX);
    test::shrinkXvfbDesktop((*hostX)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-window");
    auto host = HostProcess::start((*hostX)->display(), home.path());
    ASSERT_TRUE(host) << host.error();
    auto receiver = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--host", "127.0.0.1:" + std::to_string(host->controlPort), "--identity",
                  (home.path() / "receiver.json").string(), "--screen", "1280x800@2", "--seconds", "120"},
         .environment = {{"DISPLAY", (*deviceX)->display()}, {"SDL_AUDIODRIVER", "dummy"}},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver.error();
    ASSERT_TRUE(waitUntil([&] { return test::firstDeviceMonitor((*hostX)->display()).has_value(); }, kDeadline))
        << receiver->log() << test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", (*hostX)->display()}}).output;
    const auto m = *test::firstDeviceMonitor((*hostX)->display());

    // A known colour on the host's monitor appears in the middle of the receiver's window.
    const std::uint32_t colour = 0xC03020;
    auto lastPaint = std::chrono::steady_clock::time_point{};
    test::Painter painter((*hostX)->display());
    EXPECT_TRUE(waitUntil(
        [&] {
            if (std::chrono::steady_clock::now() - lastPaint > 1s) {
                painter.fill(colour, m[0], m[1], m[2], m[3]);
                lastPaint = std::chrono::steady_clock::now();
            }
            const auto shown = pixelAt((*deviceX)->display(), 800, 500);
            return shown && near(*shown, colour, 24);
        },
        kDeadline, 100ms))
        << receiver->log();

    // A click in the middle of the window clicks the middle of the monitor.
    test::runProgram({"xdotool", "mousemove", "800", "500", "click", "1"}, {{"DISPLAY", (*deviceX)->display()}});
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto where =
                test::runProgram({"xdotool", "getmouselocation"}, {{"DISPLAY", (*hostX)->display()}}).output;
            std::smatch match;
            static const std::regex xy(R"(x:(\d+) y:(\d+))");
            if (!std::regex_search(where, match, xy)) return false;
            return std::abs(std::stoi(match[1]) - (m[0] + m[2] / 2)) <= 2 &&
                   std::abs(std::stoi(match[2]) - (m[1] + m[3] / 2)) <= 2;
        },
        kDeadline))
        << "the host's pointer is at the middle of the device's monitor\n"
        << host->process.log();
    EXPECT_TRUE(waitUntil([&] { return host->process.log().find("| touch events ") != std::string::npos; }, kDeadline))
        << "the next statistics line counts the touches";

    // F1 lays the figures over the picture: white text on a dark box at the top left.
    test::runProgram({"xdotool", "key", "F1"}, {{"DISPLAY", (*deviceX)->display()}});
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto strip = pixelsAt((*deviceX)->display(), 160, 100, 500, 40); // the 1280x800 window is centred
            return std::ranges::count_if(strip, [](std::uint32_t c) { return near(c, 0xFFFFFF, 40); }) > 50;
        },
        kDeadline))
        << receiver->log();
    receiver->stop(10s);
}

} // namespace

namespace {

// `make demo` without a desktop: the host starts its own X server, the painter keeps the device's
// monitor moving, and the headless receiver decodes a steady stream until the time is up.
TEST(Demo, RunsTheWholeSystemOnOneMachineAndStopsEverythingItStarted) {
    const auto port = test::freeLoopbackPort(SOCK_STREAM);
    const auto result = test::runProgram(
        {KIV_DEMO_SCRIPT},
        {{"DISPLAY", ""},
         {"DEMO_SECONDS", "8"}, // the stream starts after pairing and the monitor: room for a slow start
         {"DEMO_PORT", std::to_string(port)},
         {"BUILD_DIR", KIV_BUILD_ROOT},
         {"PULSE_SERVER", "unix:/nonexistent/pulse"}},
        120s);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("runs headless"), std::string::npos) << result.output;
    const auto summary = nlohmann::json::parse(result.output.substr(result.output.rfind('{')), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << result.output;
#if defined(__SANITIZE_THREAD__)
    constexpr int kSteady = 8; // everything runs several times slower under ThreadSanitizer
#else
    constexpr int kSteady = 30;
#endif
    EXPECT_GE(summary.value("decoded", 0), kSteady) << "the moving picture keeps frames coming: " << result.output;
    EXPECT_FALSE(test::runProgram({"pgrep", "-f", "control-port " + std::to_string(port)}).exitCode == 0)
        << "the host is gone";
}

// `make demo` on a Wayland desktop (sway, no Xwayland): the test picture is an X11 client, so the
// host makes the device's monitor on an X server of its own; the receiver's window is on the desktop.
TEST(Demo, OnAWaylandDesktopShowsTheReceiverThereAndTheMonitorOnAnXServerOfItsOwn) {
    auto sway = test::HeadlessSway::start();
    KIV_REQUIRE_STARTED(sway);
    test::TempDir runtime("kiv-demo-wayland");
    const auto port = test::freeLoopbackPort(SOCK_STREAM);
#if defined(__SANITIZE_ADDRESS__)
    // SDL's Wayland driver leaves allocations of the libraries it loads and unloads again (their
    // stacks cannot even be read at exit); the programs' own leaks are checked by the other tests.
    const std::pair<std::string, std::string> leaks{"LSAN_OPTIONS", "detect_leaks=0"};
#else
    const std::pair<std::string, std::string> leaks{"KIV_UNUSED", ""};
#endif
    auto demo = test::ChildProcess::start({.argv = {KIV_DEMO_SCRIPT},
                                           .environment = {leaks,
                                                           {"DISPLAY", ""},
                                                           {"WAYLAND_DISPLAY", (*sway)->wayland()},
                                                           {"SWAYSOCK", (*sway)->ipc()},
                                                           {"XDG_RUNTIME_DIR", runtime.path().string()},
                                                           {"DEMO_SECONDS", "6"},
                                                           {"DEMO_PORT", std::to_string(port)},
                                                           {"BUILD_DIR", KIV_BUILD_ROOT},
                                                           {"PULSE_SERVER", "unix:/nonexistent/pulse"}},
                                           .logFile = runtime.path() / "demo.log",
                                           .keepFds = {}});
    ASSERT_TRUE(demo) << demo.error();
    const auto receiverWindow = [&] {
        return std::ranges::count((*sway)->windows(), std::string("kivdisplay-receiver"),
                                  &test::HeadlessSway::Window::appID) == 1;
    };
    EXPECT_TRUE(waitUntil(receiverWindow, kDeadline)) << demo->log();
    const auto status = demo->wait(120s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << demo->log();
    const auto output = demo->log();
    EXPECT_NE(output.find("the host runs on an X server of its own"), std::string::npos) << output;
    const auto summary = nlohmann::json::parse(output.substr(output.rfind('{')), nullptr, false);
    ASSERT_TRUE(summary.is_object()) << output;
    EXPECT_GE(summary.value("decoded", 0), 8) << "the moving picture reaches the window: " << output;
}

} // namespace

namespace {

// A link killed under the receiver: it reconnects by itself with its token, and the host keeps the
// session (same identifier) and the display.
TEST(ReceiverProcess, AKilledLinkIsReconnectedIntoTheSameSession) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    if (::getuid() != 0) GTEST_SKIP() << "killing a socket (ss -K) needs root";
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-reconnect");
    auto host = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(host) << host.error();
    auto receiver = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--host", "127.0.0.1:" + std::to_string(host->controlPort),
                  "--identity", (home.path() / "receiver.json").string(), "--seconds", "60"},
         .environment = {},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver.error();
    ASSERT_TRUE(waitUntil([&] { return receiver->log().find("Connected to") != std::string::npos; }, kDeadline))
        << receiver->log();
    const auto session = [](const std::string& text, const std::string& after) {
        const auto at = text.find(after);
        if (at == std::string::npos) return std::string();
        const auto id = text.find("session ", at);
        return text.substr(id + 8, text.find('\n', id) - id - 8);
    };
    const auto first = session(receiver->log(), "Connected to");

    // Abort the receiver's end of the control connection.
    const auto killed =
        test::runProgram({"ss", "-K", "dst", "127.0.0.1", "dport", "=", ":" + std::to_string(host->controlPort)});
    ASSERT_EQ(killed.exitCode, 0) << killed.output;
    ASSERT_TRUE(waitUntil([&] { return receiver->log().find("Reconnected to") != std::string::npos; }, kDeadline))
        << receiver->log();
    EXPECT_NE(receiver->log().find("Connection lost ("), std::string::npos) << receiver->log();
    EXPECT_EQ(session(receiver->log(), "Reconnected to"), first) << receiver->log();
    EXPECT_TRUE(waitUntil(
        [&] {
            return host->process.log().find("Transport switched Wi-Fi → Wi-Fi") != std::string::npos ||
                   host->process.log().find("Device already paired, auto-accept") != std::string::npos;
        },
        kDeadline))
        << host->process.log();
    EXPECT_EQ(host->process.log().find("Pairing request from", host->process.log().find("Pairing approved")),
              std::string::npos)
        << "no second approval";
    receiver->stop(10s);
}

// A receiver killed mid-stream leaves a recording that plays, with every frame it had shown.
TEST(ReceiverProcess, AReceiverKilledWhileRecordingLeavesAPlayableRecording) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-killed");
    auto host = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(host) << host.error();
    const auto recording = home.path() / "stream.h264";
    const auto frames = home.path() / "frames.log";
    auto receiver = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--host", "127.0.0.1:" + std::to_string(host->controlPort),
                  "--identity", (home.path() / "receiver.json").string(), "--record", recording.string(), "--frame-log",
                  frames.string()},
         .environment = {},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver.error();
    const auto shown = [&] {
        std::ifstream in(frames);
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += !line.starts_with('#') && !line.ends_with(" 0");
        return n;
    };
    test::Painter painter((*xvfb)->display());
    int colour = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (const auto monitor = test::firstDeviceMonitor((*xvfb)->display()))
                painter.fill(0x102030u * static_cast<std::uint32_t>(++colour % 8), (*monitor)[0], (*monitor)[1], 200,
                             200);
            return shown() >= 10;
        },
        kDeadline, 50ms))
        << receiver->log();
    ::kill(receiver->pid(), SIGKILL);
    receiver->wait(10s);
    const int before = shown();
    const auto probe =
        test::runProgram({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                          "stream=nb_read_frames", "-of", "csv=p=0", recording.string()});
    EXPECT_EQ(probe.exitCode, 0) << probe.output;
    EXPECT_GE(std::atoi(probe.output.c_str()), before) << probe.output;
}

// A receiver turned away before the host said a word (here: no host yet) tries again, waiting
// longer each time, and gets in once the host is there.
TEST(ReceiverProcess, ATurnedAwayReceiverTriesAgainUntilTheHostIsThere) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-retry");
    const auto port = test::freeLoopbackPort(SOCK_STREAM);
    auto receiver = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--mute", "--host", "127.0.0.1:" + std::to_string(port),
                  "--identity", (home.path() / "receiver.json").string(), "--seconds", "60"},
         .environment = {},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver.error();
    const auto attempts = [&] {
        const auto log = receiver->log();
        int count = 0;
        for (auto at = log.find("reconnecting"); at != std::string::npos; at = log.find("reconnecting", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return attempts() >= 2; }, kDeadline)) << receiver->log();
    EXPECT_TRUE(receiver->isRunning()) << "it did not give up";
    auto host = HostProcess::start((*xvfb)->display(), home.path(), {"--approve-all"}, "unix:/nonexistent/pulse", port);
    ASSERT_TRUE(host) << host.error();
    EXPECT_TRUE(waitUntil([&] { return receiver->log().find("Connected to") != std::string::npos; }, kDeadline))
        << receiver->log();
    receiver->stop(10s);
}

} // namespace

namespace {

// The receiver as a USB device too (the host in its direct USB mode): once Wi-Fi is up the USB link
// takes over, a pulled "cable" (SIGUSR1) hands the session back to Wi-Fi, and the host's retry
// brings USB back, all in one session.
TEST(ReceiverProcess, ServesTheUsbDeviceSideAndSwitchesLinksInOneSession) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-usb");
    const auto usbPort = test::freeLoopbackPort(SOCK_STREAM);
    auto host = HostProcess::start((*xvfb)->display(), home.path(),
                                   {"--approve-all", "--usb-direct", "127.0.0.1:" + std::to_string(usbPort)});
    ASSERT_TRUE(host) << host.error();
    auto receiver = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--mute", "--host",
                  "127.0.0.1:" + std::to_string(host->controlPort), "--usb-direct-port", std::to_string(usbPort),
                  "--identity", (home.path() / "receiver.json").string(), "--seconds", "90"},
         .environment = {},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver->log();
    const auto hostSaid = [&](const std::string& text) {
        return waitUntil([&] { return host->process.log().find(text) != std::string::npos; }, kDeadline);
    };
    ASSERT_TRUE(hostSaid("Transport switched Wi-Fi → USB")) << host->process.log();
    ASSERT_TRUE(waitUntil([&] { return receiver->log().find("Reconnected to CI Host over USB") != std::string::npos; },
                          kDeadline))
        << receiver->log();
    ::kill(receiver->pid(), SIGUSR1);
    ASSERT_TRUE(hostSaid("Transport switched USB → Wi-Fi")) << host->process.log();
    EXPECT_TRUE(hostSaid("link changes 4")) << "USB comes back on the host's retry: " << host->process.log();
    // The goodbye goes on the link the receiver streams on; wait until it knows USB is back.
    const auto usbConnects = [&] {
        const auto text = receiver->log();
        std::size_t count = 0;
        for (auto at = text.find("Reconnected to CI Host over USB"); at != std::string::npos;
             at = text.find("Reconnected to CI Host over USB", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return usbConnects() >= 2; }, kDeadline)) << receiver->log();
    const auto log = receiver->log();
    std::smatch first;
    ASSERT_TRUE(std::regex_search(log, first, std::regex("Connected to CI Host over Wi-Fi: .*session (\\d+)"))) << log;
    const std::regex again("Reconnected to CI Host over \\S+: .*session (\\d+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), again); it != std::sregex_iterator(); ++it)
        EXPECT_EQ((*it)[1], first[1]) << log;
    EXPECT_EQ(host->process.log().find("Pairing request from", host->process.log().find("Pairing approved")),
              std::string::npos);
    EXPECT_EQ(host->process.log().find("pairing token invalid"), std::string::npos) << host->process.log();
    const auto status = receiver->stop(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << receiver->log();
    EXPECT_TRUE(hostSaid("Client disconnected: receiver stopped")) << "the goodbye goes over USB too\n"
                                                                   << host->process.log() << "\n"
                                                                   << receiver->log();
}

// kivdisplay-receiver reached only over USB, serving the device side on `usbPort`.
auto usbOnlyReceiver(std::uint16_t usbPort, const std::filesystem::path& home) {
    return test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--mute", "--usb-direct-port", std::to_string(usbPort),
                  "--identity", (home / "receiver.json").string(), "--seconds", "90"},
         .environment = {},
         .logFile = home / "receiver.log",
         .keepFds = {}});
}

// A device reached only over USB while the user is being asked about another device: the host
// turns it away as busy and dials it again later, so it keeps listening instead of ending its run.
class ReceiverBesideAHost : public HostServiceTest {};

TEST_F(ReceiverBesideAHost, AUsbOnlyReceiverTurnedAwayWhileTheUserIsAskedWaitsForTheNextCall) {
    const auto usbPort = test::freeLoopbackPort(SOCK_STREAM);
    startHost([&](HostSettings& s) {
        s.usbEnabled = true;
        s.usbDirect = "127.0.0.1:" + std::to_string(usbPort);
    });
    DisplaySession::ApprovalReply held;
    main_.sync([&] {
        service_->approvalHandler = [&](const PeerRequest&, DisplaySession::ApprovalReply reply) {
            held = std::move(reply);
        };
    });
    WiFiDevice other(helloFor("wifi-0040", "Other Tablet"), controlPort_);
    ASSERT_TRUE(waitUntil(
        [&] {
            bool asked = false;
            main_.sync([&] { asked = held != nullptr; });
            return asked;
        },
        kDeadline));
    test::TempDir home("kiv-receiver-usb-busy");
    auto receiver = usbOnlyReceiver(usbPort, home.path());
    ASSERT_TRUE(receiver) << receiver->log();
    ASSERT_TRUE(waitUntil(
        [&] { return receiver->log().find("asking its user about another device") != std::string::npos; }, kDeadline))
        << receiver->log();
    main_.sync([&] {
        service_->approvalHandler = [](const PeerRequest&, DisplaySession::ApprovalReply reply) { reply(true); };
        held(true);
    });
    EXPECT_TRUE(waitUntil([&] { return receiver->log().find("over USB") != std::string::npos; }, kDeadline))
        << receiver->log();
    const auto status = receiver->stop(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << receiver->log();
}

// A device reached only over USB and paired in this run: each time its link drops and comes back
// it says the token it was given, so the host keeps the session instead of starting over.
TEST(ReceiverProcess, AUsbOnlyDevicePairedInThisRunKeepsItsSessionAcrossDrops) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-usb-only");
    const auto usbPort = test::freeLoopbackPort(SOCK_STREAM);
    auto host = HostProcess::start((*xvfb)->display(), home.path(),
                                   {"--approve-all", "--usb-direct", "127.0.0.1:" + std::to_string(usbPort)});
    ASSERT_TRUE(host) << host.error();
    auto receiver = usbOnlyReceiver(usbPort, home.path());
    ASSERT_TRUE(receiver) << receiver->log();
    const auto hostSaidTimes = [&](const std::string& text, std::size_t times) {
        return waitUntil(
            [&] {
                const auto log = host->process.log();
                std::size_t count = 0;
                for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
                    ++count;
                return count >= times;
            },
            kDeadline);
    };
    ASSERT_TRUE(hostSaidTimes("Pairing approved", 1)) << host->process.log();
    for (std::size_t drop = 1; drop <= 2; ++drop) {
        ASSERT_TRUE(waitUntil(
            [&] { return receiver->log().find("Connected to CI Host over USB") != std::string::npos; }, kDeadline))
            << receiver->log();
        ::kill(receiver->pid(), SIGUSR1);
        ASSERT_TRUE(hostSaidTimes("Transport switched USB → USB", drop)) << host->process.log();
    }
    EXPECT_EQ(host->process.log().find("pairing token invalid"), std::string::npos) << host->process.log();
    const auto status = receiver->stop(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << receiver->log();
}

} // namespace

#include "AudioPlayer.hpp"
#include "DecodeQueue.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "LongPress.hpp"

namespace {

// The links' threads hand frames over and go back to their sockets; a decoder that falls behind
// drops what waits and hears of it as loss (so it asks for a keyframe), instead of piling up.
TEST(ReceiverDecodeQueue, FramesAreDecodedInOrderAndABacklogBecomesLoss) {
    std::mutex mutex;
    std::vector<std::pair<std::uint32_t, std::int64_t>> decoded;
    std::promise<void> release;
    std::promise<void> busy;
    auto released = release.get_future().share();
    {
        receiver::DecodeQueue queue([&](const receiver::QueuedFrame& f) {
            if (f.frameID == 1) {
                busy.set_value();
                released.wait(); // the decoder is busy with the first frame
            }
            const std::lock_guard lock(mutex);
            decoded.emplace_back(f.frameID, f.framesLostBefore);
        });
        queue.push({1, true, 0, {1}, 0, 0});
        busy.get_future().wait(); // the next ones queue behind it
        for (std::uint32_t id = 2; id <= 1 + receiver::DecodeQueue::kDepth; ++id)
            queue.push({id, false, 0, {2}, 0, 0});
        queue.push({99, false, 0, {3}, 0, 0}); // one past the depth: the backlog goes
        release.set_value();
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::lock_guard lock(mutex);
                return !decoded.empty() && decoded.back().first == 99;
            },
            kDeadline));
    }
    ASSERT_GE(decoded.size(), 2u);
    EXPECT_EQ(decoded.front().first, 1u);
    EXPECT_EQ(decoded.back().second, static_cast<std::int64_t>(receiver::DecodeQueue::kDepth))
        << "the frames dropped are counted as lost before the next";
}

StreamAudioPacket tenMilliseconds(std::uint32_t sequence) {
    StreamAudioPacket packet;
    packet.sequence = sequence;
    packet.pcm.assign(480 * 2 * 2, 0x11);
    return packet;
}

TEST(ReceiverAudio, TheJitterBufferWaitsFor35msTrimsPast90msAndCountsGapsAndUnderruns) {
    receiver::AudioPlayer player; // no device: the test pulls
    std::vector<std::int16_t> out(256 * 2);
    std::uint32_t sequence = 0;
    for (int i = 0; i < 3; ++i)
        player.push(tenMilliseconds(sequence++));
    player.pull(out.data(), out.size());
    EXPECT_FALSE(player.stats().playing) << "30 ms queued: still waiting";
    EXPECT_EQ(out[0], 0);
    player.push(tenMilliseconds(sequence++));
    player.pull(out.data(), out.size());
    EXPECT_TRUE(player.stats().playing);
    EXPECT_EQ(out[0], 0x1111);

    sequence += 3; // three packets never came
    player.push(tenMilliseconds(sequence++));
    EXPECT_EQ(player.stats().lostPackets, 3);

    for (int i = 0; i < 12; ++i)
        player.push(tenMilliseconds(sequence++)); // a burst after a stall
    EXPECT_LE(player.stats().bufferMs, receiver::AudioPlayer::kTrimAboveMs);
    EXPECT_GT(player.stats().trimmedMs, 0);

    for (int i = 0; i < 40; ++i)
        player.pull(out.data(), out.size()); // drain it
    EXPECT_EQ(player.stats().underruns, 1) << "one underrun, then waiting for 35 ms again";
    EXPECT_FALSE(player.stats().playing);
}

// Sound end to end: the host plays a tone into its own (private) sound server, the receiver asks
// for it, plays it (SDL's dummy output) and its audio figures reach the host's statistics line.
// A finger: held still it is a right click, moved it is a drag, lifted early a tap; each sent
// where the finger went down.
TEST(ReceiverTouch, AHeldFingerIsARightClickAMovedOneADragALiftedOneATap) {
    using Kind = InputEvent::Kind;
    using receiver::LongPress;
    using A = LongPress::Action;
    struct Step {
        char what; // p press, m move, r release, t time passes (ms in x)
        double x;
        double y;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<A> sent;
    };
    const std::vector<Case> cases{
        {"tap", {{'p', 10, 10}, {'t', 100, 0}, {'r', 11, 10}}, {{Kind::down, 10, 10}, {Kind::up, 11, 10}}},
        {"wobble within the slop, then hold",
         {{'p', 10, 10}, {'m', 14, 13}, {'t', 700, 0}, {'r', 14, 13}},
         {{Kind::rightClick, 10, 10}}},
        {"drag",
         {{'p', 10, 10}, {'m', 30, 10}, {'m', 50, 10}, {'t', 700, 0}, {'r', 50, 10}},
         {{Kind::down, 10, 10}, {Kind::drag, 30, 10}, {Kind::drag, 50, 10}, {Kind::up, 50, 10}}},
        {"moving after the right click sends nothing",
         {{'p', 10, 10}, {'t', 600, 0}, {'m', 90, 90}, {'r', 90, 90}},
         {{Kind::rightClick, 10, 10}}},
        {"just short of the hold",
         {{'p', 10, 10}, {'t', 599, 0}, {'r', 10, 10}},
         {{Kind::down, 10, 10}, {Kind::up, 10, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LongPress press;
        auto now = LongPress::Clock::time_point{};
        std::vector<A> sent;
        for (const auto& step : c.steps) {
            std::vector<A> out;
            if (step.what == 'p') press.press(step.x, step.y, now);
            if (step.what == 'm') out = press.move(step.x, step.y);
            if (step.what == 'r') out = press.release(step.x, step.y);
            if (step.what == 't') now += std::chrono::milliseconds(static_cast<int>(step.x));
            if (const auto fired = press.poll(now)) out.push_back(*fired);
            sent.insert(sent.end(), out.begin(), out.end());
        }
        EXPECT_EQ(sent, c.sent);
        EXPECT_FALSE(press.active());
    }
}

TEST(ReceiverProcess, PlaysTheHostsSoundThroughASoundServerRestartAndGivesTheSpeakersBackWhenTheXServerGoes) {
    if (!test::findProgram("pacat")) KIV_SKIP_OR_FAIL("pacat is not installed (scripts/install-deps installs it)");
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    auto pulse = test::PulseAudioServer::start("speakers");
    KIV_REQUIRE_STARTED(pulse);
    ASSERT_TRUE(pulse) << pulse.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-sound");
    auto player = test::ChildProcess::start(
        {{*test::findProgram("sh"), "-c",
          "while :; do pacat --playback --raw --format=s16le --rate=48000 --channels=2 /dev/urandom; sleep 0.2; done"},
         (*pulse)->environment(),
         home.path() / "pacat.log",
         {}});
    ASSERT_TRUE(player) << player.error();
    auto host = HostProcess::start((*xvfb)->display(), home.path(), {"--approve-all"}, (*pulse)->serverAddress());
    ASSERT_TRUE(host) << host.error();
    auto receiver =
        test::ChildProcess::start({.argv = {KIV_RECEIVER_BINARY, "--headless", "--sound", "device", "--host",
                                            "127.0.0.1:" + std::to_string(host->controlPort), "--identity",
                                            (home.path() / "receiver.json").string(), "--seconds", "60"},
                                   .environment = {{"SDL_AUDIODRIVER", "dummy"}},
                                   .logFile = home.path() / "receiver.log",
                                   .keepFds = {}});
    ASSERT_TRUE(receiver) << receiver.error();
    EXPECT_TRUE(
        waitUntil([&] { return host->process.log().find(" || iPad audio buf ") != std::string::npos; }, kDeadline))
        << host->process.log() << receiver->log();
    const auto defaultSink = [&] {
        auto name = test::runProgram({"pactl", "get-default-sink"}, (*pulse)->environment()).output;
        return name.substr(0, name.find('\n'));
    };
    EXPECT_TRUE(waitUntil([&] { return defaultSink() == "KivDisplay"; }, kDeadline)) << "the speakers are silent";

    // The sound server restarts under the host (an update): the sound comes back to the device.
    const auto before = host->process.log().size();
    ASSERT_TRUE((*pulse)->restart().has_value());
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto log = host->process.log();
            return log.find("Sound → device started", before) != std::string::npos &&
                   log.find(" || iPad audio buf ", log.find("Sound → device started", before)) != std::string::npos;
        },
        kDeadline))
        << host->process.log().substr(before);
    EXPECT_TRUE(waitUntil([&] { return defaultSink() == "KivDisplay"; }, kDeadline))
        << "the speakers are silent again\n"
        << host->process.log().substr(before);

    // The X server goes (the session ended, a crash): the host says so in one line, gives the
    // speakers back and ends with status 1.
    ::kill((*xvfb)->process().pid(), SIGKILL);
    const auto status = host->process.wait(kDeadline);
    ASSERT_TRUE(status.has_value()) << "the host ends\n" << host->process.log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_NE(host->process.log().find("kivdisplay-host: The X server " + (*xvfb)->display() +
                                       " went away; stopped every device's session and put the sound output back"),
              std::string::npos)
        << host->process.log();
    EXPECT_EQ(defaultSink(), "speakers") << "the speakers are back";
    receiver->stop(10s);
}

} // namespace

namespace {

// A hostile "host" on a loopback port: whatever it sends, the receiver ends the run with a reason
// and status 2 (or keeps going on valid input), never crashes and never hangs.
TEST(ReceiverProcess, AHostileHostEndsTheRunWithAReasonNeverACrash) {
    struct Case {
        const char* name;
        std::function<Bytes()> payload;
        const char* expect; // in the receiver's output
    };
    const auto framed = [](const ControlMessage& m) { return *ControlFraming::encode(m); };
    const std::vector<Case> cases{
        {"garbage", [] { return Bytes(4096, 0xEE); }, "protocol error"},
        {"an item far too large",
         [] {
             return Bytes{0x00, 0xFF, 0xFF, 0xFF, '{'};
         },
         "protocol error"},
        {"a flood of pongs, then a goodbye",
         [&] {
             Bytes out;
             for (int i = 0; i < 20'000; ++i) {
                 const auto one = framed({PongInfo{static_cast<std::uint64_t>(i), 0, 0}});
                 out.insert(out.end(), one.begin(), one.end());
             }
             const auto bye = framed({Disconnect{"enough"}});
             out.insert(out.end(), bye.begin(), bye.end());
             return out;
         },
         "The host ended the session: enough"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        std::thread host([&] {
            const int peer = ::accept(listener, nullptr, nullptr);
            if (peer < 0) return;
            const auto bytes = c.payload();
            for (std::size_t sent = 0; sent < bytes.size();) {
                const auto n = ::send(peer, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            char sink[4096];
            while (::recv(peer, sink, sizeof sink, 0) > 0) {
            } // until the receiver goes
            ::close(peer);
        });
        test::TempDir home("kiv-receiver-hostile");
        const auto run = test::runProgram({KIV_RECEIVER_BINARY, "--headless", "--mute", "--host",
                                           "127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "--identity",
                                           (home.path() / "receiver.json").string(), "--seconds", "30"},
                                          {}, 60s);
        host.join();
        ::close(listener);
        EXPECT_NE(run.output.find(c.expect), std::string::npos) << run.output;
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 2) << run.exitCode << "\n" << run.output;
    }
}

} // namespace

namespace {

// A hostile host on the USB device port: it admits the receiver and then sends pictures no decoder
// can read. The receiver keeps running, asks for keyframes naming the decode error, says why, and
// leaves when told.
TEST(ReceiverProcess, UndecodableFramesOverUsbBringKeyframeRequestsNotACrash) {
    const auto port = test::freeLoopbackPort(SOCK_STREAM);
    test::TempDir home("kiv-receiver-usb-hostile");
    auto started = test::ChildProcess::start(
        {.argv = {KIV_RECEIVER_BINARY, "--headless", "--mute", "--usb-direct-port", std::to_string(port), "--identity",
                  (home.path() / "receiver.json").string(), "--seconds", "40"},
         .environment = {},
         .logFile = home.path() / "receiver.log",
         .keepFds = {}});
    ASSERT_TRUE(started) << started.error();
    auto& receiver = *started;
    int link = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            link = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            if (::connect(link, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
            ::close(link);
            return false;
        },
        kDeadline))
        << receiver.log();
    const auto send = [&](const auto& bytes) {
        ASSERT_TRUE(bytes.has_value());
        ASSERT_EQ(::send(link, bytes->data(), bytes->size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes->size()));
    };
    ConnectInfo info;
    info.sessionID = 7;
    info.mode = {640, 480, 30};
    info.hostName = "hostile";
    send(ControlFraming::encode({info}));
    std::atomic<bool> askedForKeyframe = false;
    std::thread reader([&] {
        StreamFrameDecoder decoder;
        std::uint8_t buffer[4096];
        for (ssize_t n; (n = ::recv(link, buffer, sizeof buffer, 0)) > 0;) {
            const auto items = decoder.append(ByteView(buffer, static_cast<std::size_t>(n)));
            if (!items) return;
            for (const auto& item : *items)
                if (const auto* message = std::get_if<ControlMessage>(&item.value))
                    if (const auto* request = message->get<RequestIDR>();
                        request && request->reason == IDRReason::decodeError)
                        askedForKeyframe = true;
        }
    });
    // Well-formed items, length-prefixed units, nonsense inside: only the decoder can object.
    for (std::uint32_t id = 1; id <= 40 && !askedForKeyframe; ++id) {
        Bytes junk{0, 0, 0, 64, 0x65};
        for (int i = 0; i < 63; ++i)
            junk.push_back(static_cast<std::uint8_t>(id * 37 + i * 11));
        send(StreamFraming::encodeVideo(id, true, 0, junk));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(waitUntil([&] { return askedForKeyframe.load(); }, kDeadline)) << receiver.log();
    EXPECT_TRUE(waitUntil([&] { return receiver.log().find("could not be decoded") != std::string::npos; }, kDeadline))
        << receiver.log();
    send(ControlFraming::encode({Disconnect{"enough"}}));
    const auto status = receiver.wait(kDeadline);
    ::shutdown(link, SHUT_RDWR);
    reader.join();
    ::close(link);
    ASSERT_TRUE(status) << receiver.log();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << receiver.log();
    EXPECT_NE(receiver.log().find("The host ended the session: enough"), std::string::npos) << receiver.log();
}

} // namespace
