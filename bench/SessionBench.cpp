// The product as a device meets it: `kivdisplay-host` as a process on a private Xvfb, the receiver
// library as the device on loopback (Wi-Fi client, and USB device role reached through the host's
// direct mode). Prints
//   - hello → first decoded keyframe: first pairing, a paired device whose monitor is gone (cold),
//     and a paired device returning within grace (warm), over Wi-Fi and over USB;
//   - link switch (hello on the new link → first decoded keyframe on it), Wi-Fi→USB and USB→Wi-Fi;
//   - the host's resident memory with two devices streaming 1920x1080 while their monitors change.
//   kiv_bench_session [--host PATH] [--rounds N] [--switches N] [--seconds N]
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"
#include "KivReceiver/VideoDecoder.hpp"
#include "Percentile.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kDeadline = 30s;

using bench::percentile;

void report(const char* what, const std::vector<double>& ms) {
    if (ms.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::printf("%-44s n=%-3zu p50 %7.1f ms  p95 %7.1f ms  max %7.1f ms\n", what, ms.size(), percentile(ms, 0.5),
                percentile(ms, 0.95), *std::max_element(ms.begin(), ms.end()));
}

Hello helloFor(const std::string& id, std::uint32_t width, std::uint32_t height) {
    Hello hello;
    hello.deviceID = id;
    hello.deviceName = "Bench " + id;
    hello.model = "iPad13,4";
    hello.systemVersion = "17.4";
    hello.screen = {width, height, 1, Orientation::landscape};
    hello.codecs = {"h264"};
    hello.recommendedFPS = 30;
    return hello;
}

// One link of a device: when a measurement began (its hello, a request), when the first picture
// it waits for decoded, what it got; and when each burst of sound began in what it heard.
struct Probe {
    using Wanted = std::function<bool(int width, int height)>;
    std::mutex mutex;
    std::unique_ptr<receiver::VideoDecoder> decoder = std::make_unique<receiver::VideoDecoder>();
    std::optional<Clock::time_point> helloAt;
    std::optional<Clock::time_point> pictureAt;
    Wanted wanted;
    std::optional<ConnectInfo> connect;
    std::atomic<std::uint64_t> pictures{0};
    std::atomic<std::uint64_t> audioPackets{0};
    std::vector<Clock::time_point> onsets;
    std::vector<double> hostToDeviceMs; // per onset: the host's capture stamp to arrival here
    std::int64_t quietFrames = 0;

    // Starts a measurement: the next picture that `wanted` accepts ends it. A fresh decoder can
    // only show a keyframe.
    void mark(Wanted accept = {}, bool freshDecoder = false) {
        const std::lock_guard lock(mutex);
        helloAt = Clock::now();
        pictureAt.reset();
        wanted = std::move(accept);
        if (freshDecoder) decoder = std::make_unique<receiver::VideoDecoder>();
    }
    void frame(const Bytes& data) {
        const std::lock_guard lock(mutex);
        const auto picture = decoder->decode(data);
        if (!picture) return;
        if (!pictureAt && (!wanted || wanted(picture->width, picture->height))) pictureAt = Clock::now();
        ++pictures;
    }
    // A burst starts where a loud sample follows at least 100 ms of quiet; the time is when that
    // sample arrived, less what came after it in the same packet.
    void audio(const StreamAudioPacket& packet) {
        const auto now = Clock::now();
        ++audioPackets;
        const std::lock_guard lock(mutex);
        const auto frames = packet.frameCount();
        for (std::int64_t f = 0; f < frames; ++f) {
            const auto at = static_cast<std::size_t>(f) * packet.channels * 2;
            const auto sample = static_cast<std::int16_t>(packet.pcm[at] | (packet.pcm[at + 1] << 8));
            if (std::abs(static_cast<int>(sample)) < 4000) {
                ++quietFrames;
                continue;
            }
            if (quietFrames >= 4800) {
                onsets.push_back(now - std::chrono::microseconds((frames - f) * 1'000'000 / packet.sampleRate));
                // The host stamps each packet on its monotonic clock, the same clock as ours here.
                const auto capturedAt =
                    packet.captureTimeUs + static_cast<std::uint64_t>(f * 1'000'000 / packet.sampleRate);
                hostToDeviceMs.push_back(
                    static_cast<double>(HostClock::nowMicros() - capturedAt -
                                        static_cast<std::uint64_t>((frames - f) * 1'000'000 / packet.sampleRate)) /
                    1000.0);
            }
            quietFrames = 0;
        }
    }
    void control(const ControlMessage& message) {
        const std::lock_guard lock(mutex);
        if (const auto* c = message.get<ConnectInfo>()) connect = *c;
    }
    // hello → first decoded picture, once there is one.
    std::optional<double> elapsedMs() {
        const std::lock_guard lock(mutex);
        if (!helloAt || !pictureAt) return std::nullopt;
        return std::chrono::duration<double, std::milli>(*pictureAt - *helloAt).count();
    }
    std::optional<ConnectInfo> connectInfo() {
        const std::lock_guard lock(mutex);
        return connect;
    }
};

struct WiFiLink {
    Probe probe;
    receiver::ReceiverClient client;
    WiFiLink(Hello hello, std::uint16_t port)
        : client({.host = "127.0.0.1", .controlPort = port, .hello = std::move(hello)}) {
        client.onControl = [this](const ControlMessage& m) { probe.control(m); };
        client.onFrame = [this](const ReassembledFrame& f, std::uint64_t) { probe.frame(f.data); };
        client.onAudio = [this](const StreamAudioPacket& p) { probe.audio(p); };
        probe.mark(); // loopback connects at once; the hello follows immediately
        client.start();
    }
};

struct UsbLink {
    Probe probe;
    receiver::UsbDeviceServer server;
    UsbLink(Hello hello, std::uint16_t port) : server(std::move(hello), port, true) {
        server.onHostConnected = [this] { probe.mark(); };
        server.onControl = [this](const ControlMessage& m) { probe.control(m); };
        server.onVideo = [this](const StreamVideoFrame& f) { probe.frame(f.data); };
        server.start();
    }
};

int kivMonitors(const std::string& display) {
    const auto result = test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}});
    int count = 0;
    for (auto at = result.output.find("KIV-"); at != std::string::npos; at = result.output.find("KIV-", at + 1))
        count += result.output.compare(at, 8, "KIV-MAIN") != 0;
    return count;
}

long statusKiB(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

struct Bench {
    std::string hostBinary;
    int rounds = 5;
    int switches = 20;
    int seconds = 10;

    std::unique_ptr<test::PulseAudioServer> pulse;
    std::unique_ptr<PrivateXServer> xvfb;
    std::optional<test::TempDir> home;
    test::ChildProcess host;
    std::uint16_t control = 0;
    std::uint16_t usbPort = 0;

    bool startHost() {
        if (auto sound = test::PulseAudioServer::start("speakers"))
            pulse = std::move(*sound);
        else
            std::fprintf(stderr, "no sound figures: %s\n", sound.error().message.c_str());
        auto server = test::XvfbServer::start();
        if (!server) {
            std::fprintf(stderr, "Xvfb: %s\n", server.error().message.c_str());
            return false;
        }
        xvfb = std::move(*server);
        test::shrinkXvfbDesktop(xvfb->display(), 1024, 768);
        home.emplace("kiv-bench-session");
        control = test::freeLoopbackPort(SOCK_STREAM);
        usbPort = test::freeLoopbackPort(SOCK_STREAM);
        auto child = test::ChildProcess::start(
            {.argv = {hostBinary, "--approve-all", "--loopback-only", "--display", xvfb->display(), "--control-port",
                      std::to_string(control), "--video-port", std::to_string(test::freeLoopbackPort(SOCK_DGRAM)),
                      "--usb-direct", "127.0.0.1:" + std::to_string(usbPort), "--grace", "0.5", "--link-hold", "5"},
             .environment = {{"XDG_CONFIG_HOME", (home->path() / "config").string()},
                             {"XDG_STATE_HOME", (home->path() / "state").string()},
                             {"PULSE_SERVER", pulse ? pulse->serverAddress() : "unix:/nonexistent/pulse"}},
             .logFile = home->path() / "host.log",
             .keepFds = {}});
        if (!child) {
            std::fprintf(stderr, "kivdisplay-host: %s\n", child.error().c_str());
            return false;
        }
        host = std::move(*child);
        if (!test::waitUntil([&] { return host.log().find("Listening: control port") != std::string::npos; },
                             kDeadline)) {
            std::fprintf(stderr, "kivdisplay-host did not start:\n%s\n", host.log().c_str());
            return false;
        }
        return true;
    }

    // Waits for the link's first picture; paints its monitor area meanwhile so a lost frame of a
    // still screen does not leave it waiting. Records the figure when there is one.
    bool firstPicture(Probe& probe, std::vector<double>& into) {
        if (!test::waitUntil([&] { return probe.elapsedMs().has_value(); }, kDeadline, 2ms)) return false;
        into.push_back(*probe.elapsedMs());
        return true;
    }
    bool monitorsGone() {
        return test::waitUntil([&] { return kivMonitors(xvfb->display()) == 0; }, kDeadline, 50ms);
    }

    void connects() {
        std::vector<double> pairing, wifiCold, wifiWarm, usbCold, usbWarm;
        std::optional<std::string> token;
        {
            WiFiLink first(helloFor("bench-connect", 1366, 1024), control);
            if (!firstPicture(first.probe, pairing) || !first.probe.connectInfo()) return fail("first pairing");
            token = first.probe.connectInfo()->token;
        }
        auto hello = helloFor("bench-connect", 1366, 1024);
        hello.token = token;
        std::vector<long> rss;
        for (int round = 0; round < rounds; ++round) {
            if (!monitorsGone()) return fail("grace expiry");
            rss.push_back(statusKiB(host.pid(), "VmRSS:"));
            {
                WiFiLink cold(hello, control);
                if (!firstPicture(cold.probe, wifiCold)) return fail("Wi-Fi cold");
            }
            {
                WiFiLink warm(hello, control);
                if (!firstPicture(warm.probe, wifiWarm)) return fail("Wi-Fi warm");
            }
            if (!monitorsGone()) return fail("grace expiry");
            {
                UsbLink cold(hello, usbPort);
                if (!firstPicture(cold.probe, usbCold)) return fail("USB cold");
            }
            {
                UsbLink warm(hello, usbPort);
                if (!firstPicture(warm.probe, usbWarm)) return fail("USB warm");
            }
        }
        report("hello -> first keyframe, first pairing", pairing);
        report("hello -> first keyframe, paired, Wi-Fi, cold", wifiCold);
        report("hello -> first keyframe, paired, Wi-Fi, warm", wifiWarm);
        report("hello -> first keyframe, paired, USB, cold", usbCold);
        report("hello -> first keyframe, paired, USB, warm", usbWarm);
        monitorsGone();
        rss.push_back(statusKiB(host.pid(), "VmRSS:"));
        std::printf("host RSS with no device after each round of four sessions (MiB):");
        for (const auto kib : rss)
            std::printf(" %.1f", static_cast<double>(kib) / 1024);
        std::printf("\n");
    }

    // One device moves between its links; both stay up for a moment, as when a cable goes in.
    void linkSwitches() {
        std::vector<double> toUsb, toWiFi;
        auto hello = helloFor("bench-switch", 1366, 1024);
        std::vector<double> ignored;
        auto wifi = std::make_unique<WiFiLink>(hello, control);
        if (!firstPicture(wifi->probe, ignored) || !wifi->probe.connectInfo()) return fail("switch setup");
        hello.token = wifi->probe.connectInfo()->token;
        wifi = std::make_unique<WiFiLink>(hello, control);
        if (!firstPicture(wifi->probe, ignored)) return fail("switch setup");
        for (int i = 0; i < switches; ++i) {
            auto usb = std::make_unique<UsbLink>(hello, usbPort);
            if (!firstPicture(usb->probe, toUsb)) return fail("Wi-Fi -> USB");
            wifi.reset();
            wifi = std::make_unique<WiFiLink>(hello, control);
            if (!firstPicture(wifi->probe, toWiFi)) return fail("USB -> Wi-Fi");
            usb.reset();
        }
        report("link switch Wi-Fi -> USB (goal <= 300 ms)", toUsb);
        report("link switch USB -> Wi-Fi (goal <= 300 ms)", toWiFi);
        wifi.reset();
        monitorsGone();
    }

    // A device asks for another desktop size (its pictures change size) and pauses and resumes.
    void steering() {
        std::vector<double> resize, resume, ignored;
        WiFiLink link(helloFor("bench-control", 2048, 1536), control);
        if (!firstPicture(link.probe, ignored)) return fail("control setup");
        std::uint32_t request = 0;
        for (int i = 0; i < 2 * rounds; ++i) {
            // "large" puts the backing store below the device's pixels: 1636x1228 instead of 2048x1536.
            const bool large = i % 2 == 0;
            link.probe.mark([large](int w, int) { return w == (large ? 1636 : 2048); });
            link.client.send(
                {ConfigChange{++request, large ? DisplaySize::large : DisplaySize::standard, {}, {}, {}, {}}});
            if (!firstPicture(link.probe, resize)) return fail("resize");
        }
        std::vector<double> pausedCPU;
        for (int i = 0; i < 2 * rounds; ++i) {
            link.client.send({Pause{}});
            std::this_thread::sleep_for(300ms); // let the pause land before the next request
            if (i == 0) pausedCPU.push_back(cpuPercent(1s));
            link.probe.mark({}, true);
            link.client.send({Resume{}});
            if (!firstPicture(link.probe, resume)) return fail("resume");
        }
        report("configChange(displaySize) -> new-size picture", resize);
        report("resume -> first keyframe", resume);
        std::printf("host CPU while the only device is paused: %.1f%%\n", pausedCPU.empty() ? 0.0 : pausedCPU[0]);
    }

    // 100 ms bursts of a 440 Hz tone between silences, played by pacat into the default output;
    // from the moment a burst is handed to the player to its onset in what the device received.
    // Route "both" captures the speakers' own output; "device" moves the sound to the host's sink.
    void sound() {
        if (!pulse) return;
        for (const auto& [name, value] : pulse->environment())
            ::setenv(name.c_str(), value.c_str(), 1);
        std::uint32_t request = 0;
        for (const auto route : {AudioRoute::both, AudioRoute::device}) {
            WiFiLink link(helloFor(std::string("bench-sound-") + std::string(toText(route)), 1366, 1024), control);
            std::vector<double> ignored;
            if (!firstPicture(link.probe, ignored)) return fail("sound setup");
            link.client.send({ConfigChange{++request, {}, {}, {}, {}, route}});
            playBursts(link.probe, 4); // the first player stream on a sound server runs late: warm up
            const auto latency = playBursts(link.probe, std::max(20, 4 * rounds));
            const auto label =
                std::string("sound ") + std::string(toText(route)) + ": player -> device (goal <= 40 ms)";
            report(label.c_str(), latency);
            const std::lock_guard lock(link.probe.mutex);
            report("  of which host capture stamp -> device", link.probe.hostToDeviceMs);
        }
    }

    std::vector<double> playBursts(Probe& probe, int count) {
        std::vector<double> latency;
        FILE* player =
            ::popen("pacat --playback --raw --format=s16le --rate=48000 --channels=2 --latency-msec=10", "w");
        if (!player) {
            fail("pacat");
            return latency;
        }
        std::vector<std::int16_t> chunk(480 * 2); // 10 ms
        std::vector<Clock::time_point> bursts;
        const auto start = Clock::now();
        const auto total = static_cast<std::size_t>(count);
        {
            const std::lock_guard lock(probe.mutex);
            probe.onsets.clear();
            probe.hostToDeviceMs.clear();
        }
        for (std::int64_t frame = 0; (bursts.size() < total || frame % 24'000 != 0) && Clock::now() - start < 60s;
             frame += 480) {
            // Keep 20 ms ahead of real time: the player's queue stays short.
            std::this_thread::sleep_until(start + std::chrono::microseconds(frame * 1'000'000 / 48'000) - 20ms);
            const auto inPeriod = frame % 24'000; // a burst every half second once sound flows
            const bool loud = probe.audioPackets > 0 && inPeriod < 4'800 && bursts.size() < total;
            for (std::size_t f = 0; f < 480; ++f) {
                const double t = static_cast<double>(frame + static_cast<std::int64_t>(f)) / 48'000.0;
                chunk[2 * f] = chunk[2 * f + 1] =
                    static_cast<std::int16_t>(loud ? 16384.0 * std::sin(2.0 * 3.141592653589793 * 440.0 * t) : 0);
            }
            if (loud && inPeriod == 0) bursts.push_back(Clock::now());
            if (std::fwrite(chunk.data(), sizeof(std::int16_t), chunk.size(), player) != chunk.size()) break;
            std::fflush(player);
        }
        std::this_thread::sleep_for(500ms);
        ::pclose(player);
        const std::lock_guard lock(probe.mutex);
        for (const auto& sent : bursts) {
            const auto heard = std::find_if(probe.onsets.begin(), probe.onsets.end(),
                                            [&](const auto& onset) { return onset > sent - 5ms; });
            if (heard != probe.onsets.end() && *heard - sent < 1s)
                latency.push_back(std::chrono::duration<double, std::milli>(*heard - sent).count());
        }
        return latency;
    }

    void memory() {
        const long before = statusKiB(host.pid(), "VmRSS:");
        WiFiLink a(helloFor("bench-rss-a", 1920, 1080), control);
        WiFiLink b(helloFor("bench-rss-b", 1920, 1080), control);
        std::vector<double> ignored;
        if (!firstPicture(a.probe, ignored) || !firstPicture(b.probe, ignored)) return fail("two 1080p devices");
        // Both monitors lie right of the 1024-wide desktop; keep the whole strip changing.
        test::Painter painter(xvfb->display());
        const auto start = Clock::now();
        const auto framesBefore = a.probe.pictures + b.probe.pictures;
        long peak = 0;
        for (int i = 0; Clock::now() - start < std::chrono::seconds(seconds); ++i) {
            painter.fill(i % 2 ? 0x2060A0 : 0xC0A040, 1024, 0, 2 * 1920 + 64, 1080, false);
            painter.fill(0xFFFFFF, 1024 + (i * 37) % (2 * 1920), (i * 23) % 1000, 64, 64);
            peak = std::max(peak, statusKiB(host.pid(), "VmRSS:"));
            std::this_thread::sleep_for(33ms);
        }
        const double fps = static_cast<double>(a.probe.pictures + b.probe.pictures - framesBefore) /
                           std::chrono::duration<double>(Clock::now() - start).count() / 2;
        std::printf("host RSS with no device %.1f MiB; two 1920x1080 devices streaming: %.1f MiB now, %.1f MiB peak, "
                    "high-water %.1f MiB; %.1f decoded fps per device\n",
                    static_cast<double>(before) / 1024, static_cast<double>(statusKiB(host.pid(), "VmRSS:")) / 1024,
                    static_cast<double>(peak) / 1024, static_cast<double>(statusKiB(host.pid(), "VmHWM:")) / 1024, fps);
    }

    // The host's CPU use (user + system, % of one core) over `span`.
    double cpuPercent(std::chrono::milliseconds span) {
        const auto ticks = [&] {
            std::ifstream in("/proc/" + std::to_string(host.pid()) + "/stat");
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::istringstream fields(text.substr(text.rfind(')') + 2));
            std::string field;
            long long utime = 0;
            long long stime = 0;
            for (int i = 3; i <= 15 && fields >> field; ++i) {
                if (i == 14) utime = std::stoll(field);
                if (i == 15) stime = std::stoll(field);
            }
            return utime + stime;
        };
        const auto before = ticks();
        std::this_thread::sleep_for(span);
        return static_cast<double>(ticks() - before) * 100.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) /
               std::chrono::duration<double>(span).count();
    }

    void fail(const char* what) {
        std::fprintf(stderr, "failed: %s\n--- host log ---\n%s\n", what, host.log().c_str());
        failed = true;
    }
    bool failed = false;
};

} // namespace

int main(int argc, char** argv) {
    Bench bench;
    bench.hostBinary = KIV_HOST_BINARY;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--host")
            bench.hostBinary = argv[i + 1];
        else if (flag == "--rounds")
            bench.rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--switches")
            bench.switches = std::max(1, std::atoi(argv[i + 1]));
        else if (flag == "--seconds")
            bench.seconds = std::max(1, std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: %s [--host PATH] [--rounds N] [--switches N] [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    if (!bench.startHost()) return 1;
    bench.connects();
    if (!bench.failed) bench.linkSwitches();
    if (!bench.failed) bench.steering();
    if (!bench.failed) bench.sound();
    if (!bench.failed) bench.memory();
    const int status = bench.host.stop(20s);
    std::printf("host exit status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return bench.failed ? 1 : 0;
}
