// End-to-end latency: paint → capture → encode → send → receive → decode, on one machine and one
// clock. `kivdisplay-host` runs as a process on a private Xvfb; this program is the painter and
// the device. The painter flips a counter-coded strip inside the device's monitor; the device
// reads the counter back from every decoded picture, so a picture is only ever credited to the
// flip it shows (a stale picture shows an older counter). The first second is warm-up and does
// not count.
//   e2e-latency [--size WxH[@scale]] [--seconds N] [--link wifi|usb|web] [--changes sync|random]
//               [--fps 30|60|120] [--desktop-scale 1|2] [--baseline] [--devices N] [--loss P --jitter MS]
// --changes sync (the default) flips the strip 60 times a second; random flips it every 150-250 ms
// while other parts of the monitor move at 60 Hz (E2ERun.hpp). --fps is the stream's rate, as a
// user sets it (60 unless given; 120 with a device that shows 120 Hz).
// With --link web the device is headless Chromium showing the host's page (E2EWeb.hpp).
// With --devices N, N Wi-Fi devices stream at once and the strip flips on each one's monitor.
// The device screen is WxH pixels at `scale` (2 unless given, as on a tablet). The X desktop
// draws at 1× unless --desktop-scale 2 (Xft.dpi 192): at 1× the host streams the monitor at the
// size it is drawn, below the device's own size; at 2× the stream is the device's size.
// --loss/--jitter put a Wi-Fi device behind a relay that drops P % of the video datagrams to it
// and delays them by up to MS ms, as a busy radio would (this kernel has no netem).
// Prints a table and, as its last line, one JSON object.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "E2EBaseline.hpp"
#include "E2ECompositor.hpp"
#include "E2EMeasure.hpp"
#include "E2ERun.hpp"
#include "E2ESharpness.hpp"
#include "E2EWeb.hpp"
#include "KivHostCore/Linux/WebIdentity.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/WaylandPainter.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"
#include "KivReceiver/VideoDecoder.hpp"
#include "SoakRelay.hpp"

using namespace kiv;
using namespace std::chrono_literals;

using namespace kiv::e2e;

namespace {

// The host's frame trace: capture stamp → stage name → time (µs).
std::map<std::uint64_t, std::map<std::string, std::uint64_t>> readTrace(const std::filesystem::path& file) {
    std::map<std::uint64_t, std::map<std::string, std::uint64_t>> trace;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::uint64_t captured = 0;
        std::string stage;
        std::uint64_t at = 0;
        if (fields >> captured >> stage >> at) trace[captured].emplace(stage, at); // the first mark of a stage counts
    }
    return trace;
}

// Where the time of the credited flips went: the median of each stage, from the host's trace
// and the receiver's stamps, in pipeline order.
std::vector<std::pair<std::string, double>>
stageMedians(const std::vector<std::array<std::uint64_t, 4>>& credited,
             const std::map<std::uint64_t, std::map<std::string, std::uint64_t>>& trace) {
    // (name, from, to); "paint", "received" and "decoded" are ours, the rest the host's.
    static const std::vector<std::array<const char*, 3>> stages{
        {"paintToDamage", "paint", "damaged"},
        {"damageToGrab", "damaged", "grabStarted"},
        {"grab", "grabStarted", "converting"},
        {"convert", "converting", "captured"},
        {"encodeQueue", "captured", "encodeStarted"},
        {"encode", "encodeStarted", "encoded"},
        {"packetizeSend", "encoded", "sent"},
        {"networkReassembly", "sent", "received"},
        {"decode", "received", "decoded"},
    };
    std::vector<std::pair<std::string, double>> out;
    // Not a stage but its cause: how long after the last grab each change came. Changes in step
    // with capture come just before the next grab; random ones anywhere in the interval.
    std::vector<std::uint64_t> grabs;
    for (const auto& [captured, at] : trace)
        if (const auto grab = at.find("grabStarted"); grab != at.end()) grabs.push_back(grab->second);
    std::sort(grabs.begin(), grabs.end());
    std::vector<double> phase;
    for (const auto& stamps : credited) {
        const auto after = std::upper_bound(grabs.begin(), grabs.end(), stamps[0]);
        if (after != grabs.begin()) phase.push_back(static_cast<double>(stamps[0] - *std::prev(after)) / 1000.0);
    }
    if (!phase.empty()) out.emplace_back("changeAfterGrab", percentile(phase, 0.5));
    for (const auto& [name, from, to] : stages) {
        std::vector<double> ms;
        for (const auto& [paint, captured, received, decoded] : credited) {
            const auto found = trace.find(captured);
            if (found == trace.end()) continue;
            auto at = found->second;
            at["paint"] = paint;
            at["received"] = received;
            at["decoded"] = decoded;
            if (!at.contains(from) || !at.contains(to)) continue;
            ms.push_back((static_cast<double>(at[to]) - static_cast<double>(at[from])) / 1000.0);
        }
        if (!ms.empty()) out.emplace_back(name, percentile(ms, 0.5));
    }
    return out;
}

// A device's keyframe wait after a loss (the receiver's own rules): frame() says whether a frame
// may be decoded; remind() runs a few times a second whether frames come or not.
class KeyframeWait {
public:
    template <class Ask>
    bool frame(bool keyframe, std::int64_t lostBefore, Ask ask) {
        const std::lock_guard lock(mutex_);
        if (lostBefore > 0 && !keyframe) awaiting_ = true;
        if (keyframe) awaiting_ = false;
        if (!awaiting_) return true;
        const auto now = std::chrono::steady_clock::now();
        if (!asked_ || now - *asked_ >= (lostBefore > 0 ? 100ms : 500ms)) {
            asked_ = now;
            ask();
        }
        return false;
    }
    // The link gave up on a frame that began and went quiet (none after it to show the loss).
    template <class Ask>
    void stalled(Ask ask) {
        const std::lock_guard lock(mutex_);
        awaiting_ = true;
        const auto now = std::chrono::steady_clock::now();
        if (asked_ && now - *asked_ < 100ms) return;
        asked_ = now;
        ask();
    }
    template <class Ask>
    void remind(Ask ask) {
        const std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!awaiting_ || (asked_ && now - *asked_ < 500ms)) return;
        asked_ = now;
        ask();
    }

private:
    std::mutex mutex_;
    bool awaiting_ = false;
    std::optional<std::chrono::steady_clock::time_point> asked_;
};

} // namespace

int main(int argc, char** argv) {
    int width = 1920;
    int height = 1080;
    double scale = 2;
    int seconds = 10;
    std::string link = "wifi";
    bool baseline = false;
    int devices = 1;
    Changes changes = Changes::sync;
    int fps = 60;
    double lossPercent = 0;
    int jitterMs = 0;
    std::string backend = "x11"; // or the host on a headless sway or GNOME instead of Xvfb
    int desktopScale = 1;        // pixels the X desktop draws per point (its Xft.dpi / 96)
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const bool hasValue = i + 1 < argc;
        if (flag == "--size" && hasValue && std::sscanf(argv[i + 1], "%dx%d@%lf", &width, &height, &scale) >= 2)
            ++i;
        else if (flag == "--seconds" && hasValue)
            seconds = std::max(1, std::atoi(argv[++i]));
        else if (flag == "--link" && hasValue &&
                 (std::string(argv[i + 1]) == "wifi" || std::string(argv[i + 1]) == "usb" ||
                  std::string(argv[i + 1]) == "web"))
            link = argv[++i];
        else if (flag == "--changes" && hasValue &&
                 (std::string(argv[i + 1]) == "sync" || std::string(argv[i + 1]) == "random"))
            changes = std::string(argv[++i]) == "random" ? Changes::random : Changes::sync;
        else if (flag == "--fps" && hasValue &&
                 (std::string(argv[i + 1]) == "30" || std::string(argv[i + 1]) == "60" ||
                  std::string(argv[i + 1]) == "120"))
            fps = std::atoi(argv[++i]);
        else if (flag == "--loss" && hasValue)
            lossPercent = std::clamp(std::atof(argv[++i]), 0.0, 50.0);
        else if (flag == "--jitter" && hasValue)
            jitterMs = std::clamp(std::atoi(argv[++i]), 0, 100);
        else if (flag == "--baseline")
            baseline = true;
        else if (flag == "--backend" && hasValue &&
                 (std::string(argv[i + 1]) == "x11" || std::string(argv[i + 1]) == "wlroots" ||
                  std::string(argv[i + 1]) == "gnome"))
            backend = argv[++i];
        else if (flag == "--desktop-scale" && hasValue &&
                 (std::string(argv[i + 1]) == "1" || std::string(argv[i + 1]) == "2"))
            desktopScale = std::atoi(argv[++i]);
        else if (flag == "--devices" && hasValue)
            devices = std::clamp(std::atoi(argv[++i]), 1, 8);
        else {
            std::fprintf(stderr,
                         "usage: %s [--size WxH[@scale]] [--seconds N] [--link wifi|usb|web] [--changes sync|random] "
                         "[--fps 30|60|120] [--backend x11|wlroots|gnome] [--desktop-scale 1|2] [--baseline] "
                         "[--devices N] "
                         "[--loss P --jitter MS]\n",
                         argv[0]);
            return 2;
        }
    }
    if (devices > 1 && (link != "wifi" || baseline)) {
        std::fprintf(stderr, "--devices above 1 is for Wi-Fi devices without --baseline\n");
        return 2;
    }
    const bool lossy = lossPercent > 0 || jitterMs > 0;
    if (lossy && (link != "wifi" || devices > 1 || baseline)) {
        std::fprintf(stderr, "--loss and --jitter are for one Wi-Fi device without --baseline\n");
        return 2;
    }
    if (backend != "x11" && desktopScale != 1) {
        std::fprintf(stderr, "--desktop-scale is the X desktop's (Xft.dpi); a compositor keeps its own\n");
        return 2;
    }
    if (backend != "x11" && (baseline || link == "web" || devices > 1)) {
        std::fprintf(stderr, "--backend wlroots|gnome measures one native device, without --baseline\n");
        return 2;
    }
    std::unique_ptr<bench::E2ECompositor> compositor;
    if (backend != "x11") {
        auto started = bench::E2ECompositor::start(backend);
        if (!started) {
            std::fprintf(stderr, "%s\n", started.error().c_str());
            return 1;
        }
        compositor = std::move(*started);
    }

    // Room for every device monitor to the right of the desktop (a 2732x2048 one is up to 3416 wide).
    auto xvfb = test::XvfbServer::start(devices > 2 ? 16384 : 8192, 8192);
    if (!xvfb) {
        std::fprintf(stderr, "Xvfb: %s\n", xvfb.error().message.c_str());
        return 1;
    }
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    // A HiDPI desktop draws a device's monitor with its whole 2× backing, so the stream is the
    // device's own size; at 1× the stream is only as large as the monitor is drawn.
    if (desktopScale == 2 && test::runProgram({"xprop", "-root", "-f", "RESOURCE_MANAGER", "8s", "-set",
                                               "RESOURCE_MANAGER", "Xft.dpi:\t192\n"},
                                              {{"DISPLAY", (*xvfb)->display()}})
                                     .exitCode != 0) {
        std::fprintf(stderr, "xprop could not set Xft.dpi on %s\n", (*xvfb)->display().c_str());
        return 1;
    }
    test::TempDir home("kiv-e2e-latency");
    const auto control = test::freeLoopbackPort(SOCK_STREAM);
    const auto usbPort = test::freeLoopbackPort(SOCK_STREAM);
    const auto videoPort = test::freeLoopbackPort(SOCK_DGRAM);
    const auto tracePath = home.path() / "frames.trace";
    std::vector<std::string> hostArgs{KIV_HOST_BINARY,    "--approve-all",          "--loopback-only",
                                      "--display",        (*xvfb)->display(),       "--frame-trace",
                                      tracePath.string(), "--control-port",         std::to_string(control),
                                      "--video-port",     std::to_string(videoPort)};
    const auto webPort = test::freeLoopbackPort(SOCK_STREAM);
    std::string spki;
    if (link == "usb")
        hostArgs.insert(hostArgs.end(), {"--usb-direct", "127.0.0.1:" + std::to_string(usbPort)});
    else
        hostArgs.push_back("--no-usb");
    if (link == "web") {
        // The host reads back the certificate made here, so the browser can trust its key.
        const auto identity = loadOrCreateWebIdentity({home.path() / "config/kivdisplay", "bench", {}});
        if (!identity) {
            std::fprintf(stderr, "web certificate: %s\n", identity.error().c_str());
            return 1;
        }
        spki = identity->spkiSha256;
        hostArgs.insert(hostArgs.end(), {"--web-port", std::to_string(webPort), "--fps", std::to_string(fps)});
    } else {
        hostArgs.insert(hostArgs.end(), {"--web-port", "0"});
    }
    std::vector<std::pair<std::string, std::string>> hostEnv{{"KIV_LOG_STDOUT", "1"},
                                                             {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                                             {"XDG_STATE_HOME", (home.path() / "state").string()},
                                                             {"PULSE_SERVER", "unix:/nonexistent/pulse"}};
    if (compositor) {
        const auto args = compositor->hostArgs();
        const auto env = compositor->hostEnvironment();
        hostArgs.insert(hostArgs.end(), args.begin(), args.end());
        hostEnv.insert(hostEnv.end(), env.begin(), env.end());
    }
    auto host = test::ChildProcess::start(
        {.argv = hostArgs, .environment = hostEnv, .logFile = home.path() / "host.log", .keepFds = {}});
    if (!host ||
        !test::waitUntil([&] { return host->log().find("Listening: control port") != std::string::npos; }, 30s)) {
        std::fprintf(stderr, "kivdisplay-host did not start\n%s\n", host ? host->log().c_str() : host.error().c_str());
        return 1;
    }

    std::unique_ptr<soak::LossyRelay> relay;
    if (lossy) {
        relay = std::make_unique<soak::LossyRelay>(
            soak::LossyRelay::Options{control, videoPort, lossPercent, jitterMs, 20261208});
        if (std::string error; !relay->start(error)) {
            std::fprintf(stderr, "relay on 127.0.0.2: %s\n", error.c_str());
            return 1;
        }
    }

    // One measure per device; with several, each is a Wi-Fi device of its own.
    std::vector<std::unique_ptr<Measure>> measures;
    std::vector<std::unique_ptr<receiver::ReceiverClient>> wifi;
    std::unique_ptr<receiver::UsbDeviceServer> usb;
    std::unique_ptr<WebDevice> web;
    std::vector<std::function<void(const ControlMessage&)>> sends;
    std::atomic<int> connected{0};
    std::atomic<int> applied{0};
    const auto onControl = [&](const ControlMessage& m) {
        if (m.is<ConnectInfo>()) ++connected;
        if (const auto* done = m.get<ConfigApplied>(); done && done->requestID == 1u) ++applied;
    };
    KeyframeWait recovery; // of the one device a lossy relay can sit in front of
    std::vector<std::jthread> reminders;
    for (int d = 0; d < devices; ++d) {
        auto& measure = *measures.emplace_back(std::make_unique<Measure>());
        Hello hello;
        hello.deviceID = devices == 1 ? "e2e-latency" : "e2e-latency-" + std::to_string(d + 1);
        hello.deviceName = "Latency probe";
        hello.model = "bench";
        hello.systemVersion = "1";
        hello.screen = {width, height, scale, Orientation::landscape};
        hello.codecs = {"h264"};
        hello.recommendedFPS = std::max(fps, 60); // a 120 Hz screen for --fps 120
        if (link == "web") {
            auto opened =
                WebDevice::open(home.path() / "chromium", "https://127.0.0.1:" + std::to_string(webPort) + "/", spki,
                                width, height, scale, measure);
            if (!opened) {
                std::fprintf(stderr, "browser device: %s\n%s\n", opened.error().c_str(), host->log().c_str());
                return 1;
            }
            web = std::move(*opened);
            ++connected;
            ++applied; // the host streams at the rate asked from the start (its --fps)
            sends.push_back([&](const ControlMessage& m) { web->send(m); });
        } else if (link == "wifi") {
            auto& client = *wifi.emplace_back(std::make_unique<receiver::ReceiverClient>(receiver::ReceiverConfig{
                .host = relay ? "127.0.0.2" : "127.0.0.1", .controlPort = control, .hello = hello}));
            client.onControl = onControl;
            // As a device does: past a lost frame only a keyframe decodes, so it asks for one (again
            // within 100 ms while frames keep being lost, else every 500 ms, frames or not: a screen
            // gone still sends nothing that would prompt it) and shows nothing until then.
            client.onFrame = [&measure, &client, &recovery](const ReassembledFrame& f, std::uint64_t completedAt) {
                if (recovery.frame(f.isKeyframe, f.framesLostBefore,
                                   [&] { client.send({RequestIDR{IDRReason::packetLoss}}); }))
                    measure.frame(f.data, f.captureTimeUs, completedAt);
            };
            reminders.emplace_back([&client, &recovery](const std::stop_token& stop) {
                while (!stop.stop_requested()) {
                    std::this_thread::sleep_for(250ms);
                    if (client.dropStalledFrame())
                        recovery.stalled([&] { client.send({RequestIDR{IDRReason::packetLoss}}); });
                    recovery.remind([&] { client.send({RequestIDR{IDRReason::awaitingKeyframe}}); });
                }
            });
            sends.push_back([&client](const ControlMessage& m) { client.send(m); });
            client.start();
        } else {
            usb = std::make_unique<receiver::UsbDeviceServer>(hello, usbPort, true);
            usb->onControl = onControl;
            usb->onVideo = [&measure](const StreamVideoFrame& f) {
                measure.frame(f.data, f.captureTimeUs, HostClock::nowMicros());
            };
            sends.push_back([&](const ControlMessage& m) { usb->send(m); });
            usb->start();
        }
    }
    if (!test::waitUntil([&] { return connected.load() == devices; }, 60s)) {
        std::fprintf(stderr, "the host did not connect every device\n%s\n", host->log().c_str());
        return 1;
    }
    // The stream's rate as a user sets it. Measuring starts once the host has applied it and a
    // picture of the new stream has been decoded, so a slow restart is not counted as latency.
    const auto asked = std::chrono::steady_clock::now();
    const auto decodedPictures = [&] {
        std::int64_t total = 0;
        for (const auto& measure : measures) {
            const std::lock_guard lock(measure->mutex);
            total += measure->pictures;
        }
        return total;
    };
    if (link != "web")
        for (const auto& send : sends)
            send({ConfigChange{1, {}, {}, fps, {}, {}}});
    if (!test::waitUntil([&] { return applied.load() == devices; }, 60s)) {
        std::fprintf(stderr, "the host did not apply %d fps\n%s\n", fps, host->log().c_str());
        return 1;
    }
    const auto before = decodedPictures();
    test::waitUntil([&] { return decodedPictures() >= before + devices; }, 30s); // a still screen may send nothing more
    std::fprintf(stderr, "stream at %d fps after %.1f s\n", fps,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
    std::vector<std::array<int, 4>> monitors;
    test::waitUntil(
        [&] {
            monitors = compositor ? compositor->deviceMonitors() : test::deviceMonitors((*xvfb)->display());
            return static_cast<int>(monitors.size()) == devices;
        },
        30s);
    if (static_cast<int>(monitors.size()) != devices) {
        std::fprintf(stderr, "%zu device monitor(s) on the host's X server, not %d\n", monitors.size(), devices);
        return 1;
    }
    const auto monitor = std::optional(monitors.front());
    std::vector<Measure*> measured;
    for (const auto& measure : measures)
        measured.push_back(measure.get());
    test::Painter painter((*xvfb)->display());
    std::unique_ptr<test::WaylandPainter> drawn; // on a compositor, a window of our own draws on the device's monitor
    if (compositor) {
        auto opened = compositor->painter(KIV_WAYLAND_PROBE, *monitor, home.path() / "painter.log");
        if (!opened) {
            std::fprintf(stderr, "painter: %s\n", opened.error().c_str());
            return 1;
        }
        drawn = std::move(*opened);
    }
    const auto measureOn = [&](auto& on) {
        return run(
            on, changes, measured, monitors, seconds, [&] { return cpuTicks(host->pid()); },
            [&] {
                std::uint64_t total = usb ? usb->threadCPUMicros() : 0;
                for (const auto& client : wifi)
                    total += client->threadCPUMicros();
                return total;
            },
            [&] {
                std::uint64_t total = web ? web->bytes() : 0;
                for (const auto& measure : measures)
                    total += measure->bytes;
                return total;
            });
    };
    const auto ours = drawn ? measureOn(*drawn) : measureOn(painter);
    std::vector<std::array<std::uint64_t, 4>> credited;
    for (const auto& measure : measures) {
        const std::lock_guard lock(measure->mutex);
        credited.insert(credited.end(), measure->credited.begin(), measure->credited.end());
    }
    // Keyframes of a detailed picture, forced every half second as a device's loss reports would:
    // the flips they carry against the run's p95.
    LatencyRun forced;
    if (!drawn) { // the window draws rectangles only: no detailed picture on a compositor
        painter.image(detailedPicture(monitor->at(2), monitor->at(3), 3), monitor->at(0), monitor->at(1),
                      monitor->at(2), monitor->at(3));
        std::atomic<bool> running = true;
        std::thread requester([&] {
            for (int i = 0; running && i < 20; ++i) {
                std::this_thread::sleep_for(500ms);
                if (running) sends.front()({RequestIDR{IDRReason::packetLoss}});
            }
        });
        // Flips at every frame, so that every keyframe carries one, whatever the mode.
        forced = run(
            painter, Changes::sync, {measured.front()}, {*monitor}, 3, [] { return 0LL; },
            [] { return std::uint64_t{0}; }, [] { return std::uint64_t{0}; }, false);
        running = false;
        requester.join();
    }
    // A detailed picture that moves and stops: the main stream's picture, then the refinement
    // (switched on for this; it is off by default).
    Sharpness sharp{};
    if (!web && !drawn) { // the page keeps no decoded pictures to compare; the window cannot be read back
        sends.front()({ConfigChange{2, {}, {}, {}, true, {}}});
        sharp = measureSharpness(painter, *measures.front(), *monitor);
    }
    // The same host with nothing changing on the screen: no capture, no encode, so next to nothing.
    std::this_thread::sleep_for(1s);
    const auto stillStart = cpuTicks(host->pid());
    std::this_thread::sleep_for(3s);
    const double hostCpuStill = static_cast<double>(cpuTicks(host->pid()) - stillStart) * 100.0 /
                                static_cast<double>(::sysconf(_SC_CLK_TCK)) / 3.0;
    const auto& latency = ours.latency;
    const auto detected = ours.detected;
    const auto paintedCounted = ours.painted;
    const auto hostCpu = ours.hostCpu;
    const auto rxCpu = ours.rxCpu;
    const auto mbps = ours.mbps;
    const auto stages = stageMedians(credited, readTrace(tracePath));
    if (const char* keep = std::getenv("KIV_KEEP_TRACE")) {
        std::filesystem::copy_file(tracePath, keep, std::filesystem::copy_options::overwrite_existing);
        std::ofstream flips(std::string(keep) + ".flips"); // paint, capture stamp, received, decoded (µs)
        for (const auto& [paint, captured, received, decoded] : credited)
            flips << paint << ' ' << captured << ' ' << received << ' ' << decoded << '\n';
    }
    if (const char* keep = std::getenv("KIV_KEEP_LOG")) std::ofstream(keep) << host->log();
    // The coarse stages need no trace: between two of the credited flips' own stamps.
    const auto median = [&](std::size_t from, std::size_t to) {
        std::vector<double> ms;
        for (const auto& stamps : credited)
            ms.push_back((static_cast<double>(stamps[to]) - static_cast<double>(stamps[from])) / 1000.0);
        return percentile(ms, 0.5);
    };
    const std::string desktop =
        backend == "x11" ? "X desktop at " + std::to_string(desktopScale) + "×" : backend + " desktop";
    const auto streamSize = [&] {
        const std::lock_guard lock(measures.front()->mutex);
        return measures.front()->pictureSize;
    }();
    const std::string stream = streamSize.first > 0
                                   ? std::to_string(streamSize.first) + "x" + std::to_string(streamSize.second)
                                   : std::string("?");
    std::printf("end-to-end latency, paint -> decoded picture, %dx%d device at %d fps (stream %s, %s) over %s, "
                "%s changes, %d device(s), %d s after 1 s of warm-up\n",
                width, height, fps, stream.c_str(), desktop.c_str(), link.c_str(),
                changes == Changes::random ? "random" : "sync", devices, seconds);
    std::printf("  p50 %.1f ms  p95 %.1f ms  p99 %.1f ms\n", percentile(latency, 0.5), percentile(latency, 0.95),
                percentile(latency, 0.99));
    std::printf("  flips detected %lld of %lld painted\n", static_cast<long long>(detected),
                static_cast<long long>(paintedCounted));
    std::printf("  stages (p50, ms):");
    for (const auto& [name, ms] : stages)
        std::printf(" %s %.2f", name.c_str(), ms);
    std::printf("\n");
    std::printf("  host CPU %.1f%% of one core (%.1f%% over 3 s of a still screen), receiver network+decode thread "
                "%.1f%% (%s), %.2f Mbit/s\n",
                hostCpu, hostCpuStill, rxCpu, link.c_str(), mbps);
    const auto worst = [](const std::vector<double>& v) {
        return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
    };
    std::printf(
        "  a detailed picture with a keyframe forced every 0.5 s: p50 %.1f ms p95 %.1f ms max %.1f ms; the %zu flips "
        "keyframes carried: max %.1f ms\n",
        percentile(forced.latency, 0.5), percentile(forced.latency, 0.95), worst(forced.latency),
        forced.keyframes.size(), worst(forced.keyframes));
    if (relay)
        std::printf(
            "  through the relay: %.1f %% of video datagrams dropped, up to %d ms of jitter; %llu dropped of %llu\n",
            lossPercent, jitterMs, static_cast<unsigned long long>(relay->datagramsDropped()),
            static_cast<unsigned long long>(relay->datagramsDropped() + relay->datagramsPassed()));
    std::printf("  after motion stops: first picture %.1f dB, %s, %.1f dB after 2.5 s\n", sharp.firstPsnr,
                sharp.timeToSharp < 0
                    ? "never 45 dB"
                    : ("45 dB after " + std::to_string(std::lround(sharp.timeToSharp)) + " ms").c_str(),
                sharp.finalPsnr);
    if (devices > 1) {
        std::printf("  per device: host CPU %.1f%%, p50", hostCpu / devices);
        for (const auto p50 : ours.p50s)
            std::printf(" %.1f", p50);
        std::printf(" ms\n");
    }
    if (detected * 2 < paintedCounted) {
        const auto log = host->log();
        std::fprintf(stderr, "fewer than half the flips were seen; the host's log ends:\n%s\n",
                     log.substr(log.size() > 4000 ? log.size() - 4000 : 0).c_str());
    }
    nlohmann::json json{
        {"p50", percentile(latency, 0.5)},
        {"p95", percentile(latency, 0.95)},
        {"p99", percentile(latency, 0.99)},
        {"detected", detected},
        {"painted", paintedCounted},
        {"hostCpu", hostCpu},
        {"hostCpuStill", hostCpuStill},
        {"timeToSharp", sharp.timeToSharp},
        {"stillFirstPsnr", sharp.firstPsnr},
        {"stillFinalPsnr", sharp.finalPsnr},
        {"forcedKeyframes",
         {{"p50", percentile(forced.latency, 0.5)},
          {"p95", percentile(forced.latency, 0.95)},
          {"max", worst(forced.latency)},
          {"carried", forced.keyframes}}},
        {"rxCpu", rxCpu},
        {"mbps", mbps},
        {"devices", devices},
        {"p50PerDevice", ours.p50s},
        {"size", std::to_string(width) + "x" + std::to_string(height)},
        {"stream", stream},
        {"desktopScale", desktopScale},
        {"link", link},
        {"changes", changes == Changes::random ? "random" : "sync"},
        {"fps", fps},
        {"backend", backend},
        {"lossPercent", lossPercent},
        {"jitterMs", jitterMs},
        {"stages",
         {{"paintToCapture", median(0, 1)}, {"captureToReceived", median(1, 2)}, {"receivedToDecoded", median(2, 3)}}}};
    for (const auto& [name, ms] : stages)
        json["stages"][name] = ms;
    if (web) {
        const auto [decodeMs, drawMs] = web->pageTimes();
        std::printf("  page: decode %.2f ms, draw %.2f ms per frame (medians of its per-second figures); its clock is "
                    "%.2f ms off this machine's, measured within %.2f ms\n",
                    decodeMs, drawMs, web->clockErrorMs, web->clockBoundMs);
        json["page"] = {{"decodeMs", decodeMs},
                        {"drawMs", drawMs},
                        {"clockErrorMs", web->clockErrorMs},
                        {"clockBoundMs", web->clockBoundMs}};
    }
    if (baseline) {
        // The device pauses (the host keeps its monitor), and ffmpeg streams the same area.
        sends.front()({Pause{}});
        std::this_thread::sleep_for(500ms);
        const auto udp = test::freeLoopbackPort(SOCK_DGRAM);
        Measure theirs;
        Baseline decoder(theirs, udp);
        const auto [mx, my, mw, mh] = *monitor;
        // The size our stream had (the device's, where no picture was decoded here).
        const auto [sw, sh] = streamSize.first > 0 ? streamSize : std::pair{width, height};
        auto ffmpeg = test::ChildProcess::start(
            {.argv = {test::findProgram("ffmpeg").value_or("ffmpeg"),
                      "-loglevel",
                      "error",
                      "-f",
                      "x11grab",
                      "-draw_mouse",
                      "0",
                      "-framerate",
                      std::to_string(fps),
                      "-video_size",
                      std::to_string(mw) + "x" + std::to_string(mh),
                      "-i",
                      (*xvfb)->display() + "+" + std::to_string(mx) + "," + std::to_string(my),
                      "-vf",
                      "scale=" + std::to_string(sw) + ":" + std::to_string(sh),
                      "-c:v",
                      "libx264",
                      "-preset",
                      "ultrafast",
                      "-tune",
                      "zerolatency",
                      "-pix_fmt",
                      "yuv420p",
                      "-g",
                      "120",
                      "-f",
                      "h264",
                      "udp://127.0.0.1:" + std::to_string(udp) + "?pkt_size=1316"},
             .environment = {},
             .logFile = home.path() / "ffmpeg.log",
             .keepFds = {}});
        if (!ffmpeg) {
            std::fprintf(stderr, "ffmpeg: %s\n", ffmpeg.error().c_str());
            return 1;
        }
        const auto base = run(
            painter, changes, {&theirs}, {*monitor}, seconds, [&] { return cpuTicks(ffmpeg->pid()); },
            [] { return std::uint64_t{0}; }, [&] { return decoder.bytes(); });
        if (base.detected == 0) std::fprintf(stderr, "ffmpeg showed nothing:\n%s\n", ffmpeg->log().c_str());
        ffmpeg->stop(5s);
        const double ratio =
            percentile(base.latency, 0.5) > 0 ? percentile(latency, 0.5) / percentile(base.latency, 0.5) : 0;
        std::printf("baseline (ffmpeg x11grab -> libx264 ultrafast/zerolatency -> UDP -> libavcodec), same area and "
                    "painter:\n");
        std::printf(
            "  p50 %.1f ms  p95 %.1f ms  p99 %.1f ms, flips detected %lld of %lld, ffmpeg CPU %.1f%%, %.2f Mbit/s\n",
            percentile(base.latency, 0.5), percentile(base.latency, 0.95), percentile(base.latency, 0.99),
            static_cast<long long>(base.detected), static_cast<long long>(base.painted), base.hostCpu, base.mbps);
        std::printf("  ours / baseline p50: %.2f\n", ratio);
        json["baseline"] = {{"p50", percentile(base.latency, 0.5)},
                            {"p95", percentile(base.latency, 0.95)},
                            {"p99", percentile(base.latency, 0.99)},
                            {"detected", base.detected},
                            {"painted", base.painted},
                            {"hostCpu", base.hostCpu},
                            {"mbps", base.mbps}};
        json["ratio"] = ratio;
    }
    std::printf("%s\n", json.dump().c_str());
    host->stop(10s);
    return 0;
}
