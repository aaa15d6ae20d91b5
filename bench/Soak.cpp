// The soak: kivdisplay-host as a process on a private Xvfb and PulseAudio, and kivdisplay-receiver
// devices streaming a picture that keeps changing, for minutes, under faults:
//   - device 1 has a USB link too (the host's direct mode) whose cable is pulled every
//     --flap-seconds, so the stream moves USB → Wi-Fi → USB;
//   - device 2 is killed at random moments and started again 0.5–5 s later, within grace;
//   - every Wi-Fi video datagram to a device crosses a relay that drops --loss % and adds jitter;
//   - with --browser (the default where Chromium is installed) one more device is headless Chromium
//     on the web link, whose page is reloaded at random moments and must rejoin its session;
//   - with --host-kill-seconds S the host itself is killed (SIGKILL) every S seconds and started
//     again, and every device must come back.
// Every 10 s a line of figures on stderr (the host's memory, descriptors, threads and CPU, the
// monitors and sound sinks, each device's frame rate and last keyframe); at the end one JSON line
// on stdout. Exit status 1 when a count is wrong (a crash, something left behind, a device that
// never came back); the timings are for the reader.
//   soak [--minutes N] [--devices N] [--loss PCT] [--flap-seconds S] [--host-kill-seconds S] [--jitter-ms N]
//        [--seed N] [--no-browser]
#include <sys/socket.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <random>
#include <thread>

#include "KivHostCore/Linux/WebIdentity.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivProtocol/HostClock.hpp"
#include "SoakBrowser.hpp"
#include "SoakFigures.hpp"
#include "SoakRelay.hpp"
#include "SoakScreen.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

constexpr auto kStartDeadline = 60s;
constexpr std::uint64_t kStaleAfterUs = 250'000;

struct Settings {
    double minutes = 30;
    int devices = 3;
    double lossPercent = 0;
    double flapSeconds = 20;
    double hostKillSeconds = 0; // 0: the host is never killed
    int jitterMs = 4;
    std::uint32_t seed = 1;
    std::string screen = "1024x768";
    std::string keep; // copy the logs here at the end
    bool browser = test::Chromium::available();
};

enum class Role { flap, drop, steady, browser };

struct Device {
    Role role = Role::steady;
    std::string name;
    std::filesystem::path dir;
    std::uint16_t usbPort = 0;
    test::ChildProcess process;
    std::unique_ptr<soak::BrowserDevice> browser; // Role::browser, instead of the process
    int incarnation = 0;
    bool down = false; // killed on purpose, not started again yet
    std::vector<soak::FrameLogTail> logs;
    std::vector<soak::LoggedFrame> frames;
    std::vector<soak::Interruption> drops;
    std::size_t samplesSeen = 0;
    int crashes = 0;
    std::optional<std::uint64_t> firstShownUs;
};

struct Soak {
    Settings settings;
    std::string hostBinary = KIV_HOST_BINARY, receiverBinary = KIV_RECEIVER_BINARY;
    std::unique_ptr<test::PulseAudioServer> pulse;
    std::unique_ptr<PrivateXServer> xvfb;
    test::TempDir home{"kiv-soak"};
    test::ChildProcess host;
    int hostRuns = 0, hostCrashes = 0, hostKills = 0;
    std::uint16_t control = 0, video = 0, usbPort = 0, webPort = 0;
    std::string spki; // the web link's key, for the browser to trust
    std::unique_ptr<soak::LossyRelay> relay;
    std::vector<Device> devices;
    std::mt19937 random;
    std::atomic<bool> painting{true};
    json samples = json::array();

    std::vector<std::pair<std::string, std::string>> soundEnvironment() const { return pulse->environment(); }

    int sinksOfOurs() {
        const auto list = test::runProgram({"pactl", "list", "short", "sinks"}, soundEnvironment()).output;
        int n = 0;
        for (std::size_t at = list.find("KivDisplay"); at != std::string::npos; at = list.find("KivDisplay", at + 1))
            ++n;
        return n;
    }
    std::string defaultSink() {
        auto out = test::runProgram({"pactl", "get-default-sink"}, soundEnvironment()).output;
        while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back())))
            out.pop_back();
        return out;
    }

    bool startHost() {
        ++hostRuns;
        auto child = test::ChildProcess::start(
            {.argv = {hostBinary, "--approve-all", "--loopback-only", "--name", "Soak host", "--display",
                      xvfb->display(), "--control-port", std::to_string(control), "--video-port", std::to_string(video),
                      "--web-port", std::to_string(webPort), "--usb-direct", "127.0.0.1:" + std::to_string(usbPort)},
             .environment = {{"XDG_CONFIG_HOME", (home.path() / "config").string()},
                             {"XDG_STATE_HOME", (home.path() / "state").string()},
                             {"PULSE_SERVER", pulse->serverAddress()}},
             .logFile = home.path() / ("host-" + std::to_string(hostRuns) + ".log"),
             .keepFds = {}});
        if (!child) return fail("kivdisplay-host: " + child.error());
        host = std::move(*child);
        if (!test::waitUntil([&] { return host.log().find("Listening: control port") != std::string::npos; },
                             kStartDeadline, 50ms))
            return fail("kivdisplay-host did not start listening:\n" + host.log());
        return true;
    }

    bool startDevice(Device& d) {
        ++d.incarnation;
        if (d.role == Role::browser) {
            const auto [width, height] = screenSize();
            auto opened = soak::BrowserDevice::open(
                d.dir / "chromium", "https://127.0.0.1:" + std::to_string(webPort) + "/", spki, width, height);
            if (!opened) return fail("the browser device: " + opened.error());
            d.browser = std::move(*opened);
            d.down = false;
            return true;
        }
        const auto frameLog = d.dir / ("frames-" + std::to_string(d.incarnation) + ".log");
        std::vector<std::string> argv{receiverBinary,
                                      "--headless",
                                      "--mute",
                                      "--host",
                                      "127.0.0.2:" + std::to_string(control),
                                      "--name",
                                      d.name,
                                      "--screen",
                                      settings.screen,
                                      "--identity",
                                      (d.dir / "identity.json").string(),
                                      "--frame-log",
                                      frameLog.string()};
        if (d.role == Role::flap) argv.insert(argv.end(), {"--usb-direct-port", std::to_string(d.usbPort)});
        auto child =
            test::ChildProcess::start({.argv = argv,
                                       .environment = soundEnvironment(),
                                       .logFile = d.dir / ("receiver-" + std::to_string(d.incarnation) + ".log"),
                                       .keepFds = {}});
        if (!child) return fail("kivdisplay-receiver: " + child.error());
        d.process = std::move(*child);
        d.logs.emplace_back(frameLog);
        d.down = false;
        return true;
    }

    // The logs only: a browser profile holds sockets and dangling lock links that do not copy.
    void keepLogs() {
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(home.path(), error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().filename() == "chromium") {
                it.disable_recursion_pending();
                continue;
            }
            if (!it->is_regular_file()) continue;
            const auto target =
                std::filesystem::path(settings.keep) / std::filesystem::relative(it->path(), home.path());
            std::filesystem::create_directories(target.parent_path(), error);
            std::filesystem::copy_file(it->path(), target, std::filesystem::copy_options::overwrite_existing, error);
        }
    }

    std::pair<int, int> screenSize() const {
        int width = 1024, height = 768;
        std::sscanf(settings.screen.c_str(), "%dx%d", &width, &height);
        return {width, height};
    }

    // The device's frames so far; false when a browser device no longer answers.
    bool readFrames(Device& d) {
        if (d.role == Role::browser) return d.browser && d.browser->read(d.frames);
        d.logs.back().read(d.frames);
        return true;
    }

    bool fail(const std::string& why) {
        std::fprintf(stderr, "soak: %s\n", why.c_str());
        return false;
    }

    void sample(double elapsedS, std::optional<soak::ProcessFigures>& last) {
        const auto now = soak::readProcess(host.pid());
        if (!now) return;
        json line{{"t", std::round(elapsedS)},
                  {"rssMiB", std::round(now->rssMiB * 10) / 10},
                  {"fds", now->descriptors},
                  {"threads", now->threads},
                  {"monitors", test::deviceMonitors(xvfb->display()).size()},
                  {"sinks", sinksOfOurs()}};
        if (last && last->pid == now->pid)
            line["cpuPct"] = std::round((now->cpuSeconds - last->cpuSeconds) / 10.0 * 1000) / 10;
        last = now;
        const auto nowUs = HostClock::nowMicros();
        json perDevice = json::array();
        for (auto& d : devices) {
            if (!readFrames(d) && d.role == Role::browser && !d.down) {
                ++d.crashes;
                fail(d.name + " stopped answering:\n" + d.browser->console());
                startDevice(d);
            }
            std::uint64_t shown = 0, lastKey = 0;
            for (std::size_t i = d.samplesSeen; i < d.frames.size(); ++i)
                if (d.frames[i].decodedAtUs) ++shown;
            for (const auto& f : d.frames)
                if (f.keyframe && f.decodedAtUs) lastKey = f.decodedAtUs;
            d.samplesSeen = d.frames.size();
            perDevice.push_back(
                {{"fps", static_cast<double>(shown) / 10.0},
                 {"sinceKeyframeS", lastKey ? std::round(static_cast<double>(nowUs - lastKey) / 1e5) / 10 : -1.0}});
        }
        line["devices"] = perDevice;
        std::fprintf(stderr, "%s\n", line.dump().c_str());
        samples.push_back(line);
    }

    int run() {
        auto sound = test::PulseAudioServer::start("speakers");
        if (!sound) return fail("PulseAudio: " + sound.error().message), 1;
        pulse = std::move(*sound);
        auto server = test::XvfbServer::start();
        if (!server) return fail("Xvfb: " + server.error().message), 1;
        xvfb = std::move(*server);
        test::shrinkXvfbDesktop(xvfb->display(), 1024, 768);
        random.seed(settings.seed);
        control = test::freeLoopbackPort(SOCK_STREAM);
        video = test::freeLoopbackPort(SOCK_DGRAM);
        usbPort = test::freeLoopbackPort(SOCK_STREAM);
        relay = std::make_unique<soak::LossyRelay>(
            soak::LossyRelay::Options{control, video, settings.lossPercent, settings.jitterMs, settings.seed});
        if (std::string error; !relay->start(error)) return fail("relay on 127.0.0.2: " + error), 1;
        if (settings.browser) {
            // The host reads back the certificate made here, so the browser can trust its key.
            const auto identity = loadOrCreateWebIdentity({home.path() / "config" / "kivdisplay", "soak", {}});
            if (!identity) return fail("web certificate: " + identity.error()), 1;
            spki = identity->spkiSha256;
            webPort = test::freeLoopbackPort(SOCK_STREAM);
        }
        if (!startHost()) return 1;
        std::this_thread::sleep_for(2s); // let the host's own start-up threads come and go
        const auto atStart = soak::readProcess(host.pid());

        for (int i = 0; i < settings.devices; ++i) {
            Device d;
            d.role = i == 0 && settings.flapSeconds > 0 ? Role::flap : (i == 1 ? Role::drop : Role::steady);
            d.name = "Soak device " + std::to_string(i + 1);
            d.dir = home.path() / ("device-" + std::to_string(i + 1));
            d.usbPort = usbPort;
            std::filesystem::create_directories(d.dir);
            devices.push_back(std::move(d));
        }
        if (settings.browser) {
            Device d;
            d.role = Role::browser;
            d.name = "Soak browser";
            d.dir = home.path() / "browser";
            std::filesystem::create_directories(d.dir);
            devices.push_back(std::move(d));
        }
        for (auto& d : devices)
            if (!startDevice(d)) return 1;
        std::thread painter([this] { soak::paintDevices(xvfb->display(), painting); });

        const auto began = std::chrono::steady_clock::now();
        const auto end = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(settings.minutes * 60));
        auto nextSample = began + 10s;
        auto nextFlap = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(settings.flapSeconds));
        std::uniform_real_distribution<double> dropEvery(15, 45), dropFor(0.5, 5), reloadEvery(20, 60);
        const auto after = [](double seconds) {
            return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(seconds));
        };
        auto nextDrop = began + after(dropEvery(random));
        auto nextReload = began + after(reloadEvery(random));
        auto nextHostKill = began + after(settings.hostKillSeconds);
        std::uniform_real_distribution<double> hostDownFor(0.5, 3);
        std::chrono::steady_clock::time_point restartAt{};
        std::optional<soak::ProcessFigures> lastFigures = atStart;
        std::optional<double> rss5Min;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
            const auto now = std::chrono::steady_clock::now();
            if (!host.isRunning()) {
                ++hostCrashes;
                fail("the host ended by itself:\n" + host.log());
                if (!startHost()) break;
            }
            // The host killed outright (a crash, the OOM killer) and started again: every device
            // must come back, into a new session, and nothing may be left behind.
            if (settings.hostKillSeconds > 0 && now >= nextHostKill && now + 30s < end) {
                const auto at = HostClock::nowMicros();
                ::kill(host.pid(), SIGKILL);
                host.wait(5s);
                ++hostKills;
                std::this_thread::sleep_for(after(hostDownFor(random)));
                std::fprintf(stderr, "soak: the host was killed; starting it again\n");
                if (!startHost()) break;
                for (auto& d : devices)
                    if (!d.down) d.drops.push_back({at, true, HostClock::nowMicros(), {}});
                nextHostKill = now + after(settings.hostKillSeconds);
            }
            for (auto& d : devices) {
                if (d.down || d.role == Role::browser || d.process.isRunning()) continue;
                ++d.crashes;
                fail(d.name + " ended by itself:\n" + d.process.log());
                if (!startDevice(d)) return 1;
            }
            // A slow start (the first device monitors are made while the others connect) is not a fault.
            const bool settled = now - began > 10s;
            for (auto& d : devices) {
                if (!settled || d.down) continue;
                // No deliberate fault in the last 10 s: each must have time to recover before the end.
                if (d.role == Role::flap && now >= nextFlap && now + 10s < end) {
                    const auto at = HostClock::nowMicros();
                    d.drops.push_back({at, true, at, {}});
                    ::kill(d.process.pid(), SIGUSR1);
                    nextFlap = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(settings.flapSeconds));
                }
                if (d.role == Role::browser && now >= nextReload && now + 10s < end) {
                    const auto at = HostClock::nowMicros();
                    readFrames(d);
                    d.drops.push_back({at, false, at, {}});
                    if (!d.browser->reload()) fail(d.name + ": the reload was refused");
                    nextReload = now + after(reloadEvery(random));
                }
                if (d.role == Role::drop && now >= nextDrop && now + 10s < end) {
                    d.drops.push_back({HostClock::nowMicros(), false, 0, {}});
                    ::kill(d.process.pid(), SIGKILL);
                    d.process.wait(5s);
                    d.logs.back().read(d.frames);
                    d.down = true;
                    restartAt = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>(dropFor(random)));
                    nextDrop = restartAt + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(dropEvery(random)));
                }
            }
            for (auto& d : devices) {
                if (!d.down || now < restartAt) continue;
                d.drops.back().backAtUs = HostClock::nowMicros();
                std::fprintf(stderr, "soak: %s started again after %.1f s down\n", d.name.c_str(),
                             static_cast<double>(d.drops.back().backAtUs - d.drops.back().atUs) / 1e6);
                if (!startDevice(d)) return 1;
            }
            if (now >= nextSample) {
                const double elapsed = std::chrono::duration<double>(now - began).count();
                sample(elapsed, lastFigures);
                if (!rss5Min && elapsed >= 300 && lastFigures) rss5Min = lastFigures->rssMiB;
                nextSample += 10s;
            }
        }
        const auto windowEndUs = HostClock::nowMicros();
        const auto rssEnd = soak::readProcess(host.pid());

        // The devices leave as a person would close the app; the host must give everything back.
        for (auto& d : devices) {
            if (d.role == Role::browser) {
                readFrames(d);
                d.browser->leave();
                d.browser.reset(); // the tab closes with the browser, as a person's would
            } else {
                d.process.stop(5000ms);
            }
        }
        for (auto& d : devices)
            if (d.role != Role::browser) readFrames(d);
        painting = false;
        painter.join();
        const bool monitorsGone =
            test::waitUntil([&] { return test::deviceMonitors(xvfb->display()).empty(); }, 90s, 200ms);
        std::optional<soak::ProcessFigures> atEnd;
        test::waitUntil(
            [&] {
                atEnd = soak::readProcess(host.pid());
                return atEnd && atStart && atEnd->descriptors <= atStart->descriptors &&
                       atEnd->threads <= atStart->threads;
            },
            30s, 500ms);
        const int sinksWhileRunning = sinksOfOurs();
        const int hostStatus = host.stop(10000ms);
        const auto monitorsLeft = soak::ourMonitors(xvfb->display());
        const int sinksLeft = sinksOfOurs();
        const auto speakers = defaultSink();

        json perDevice = json::array();
        bool devicesOk = true;
        for (auto& d : devices) {
            const auto from = d.frames.empty() ? windowEndUs : d.frames.front().completedAtUs;
            const auto verdict = soak::judge(d.frames, d.drops, from, windowEndUs, kStaleAfterUs);
            devicesOk = devicesOk && d.crashes == 0 && verdict.unrecovered == 0 && verdict.shown > 0;
            perDevice.push_back({{"role", d.role == Role::flap      ? "usb-flap"
                                          : d.role == Role::drop    ? "drop"
                                          : d.role == Role::browser ? "browser-reload"
                                                                    : "steady"},
                                 {"shown", verdict.shown},
                                 {"keyframes", verdict.keyframes},
                                 {"crashes", d.crashes},
                                 {"currentPct", std::round(verdict.currentShare * 10000) / 100},
                                 {"staleS", std::round(verdict.staleSeconds * 10) / 10},
                                 {"drops", d.drops.size()},
                                 {"unrecovered", verdict.unrecovered},
                                 {"recovery", soak::summary(verdict.recoveryMs)},
                                 {"lossRecovery", soak::summary(verdict.lossRecoveryMs)}});
        }
        const bool hostExitedCleanly = WIFEXITED(hostStatus) && WEXITSTATUS(hostStatus) == 0;
        const bool backToStart =
            atStart && atEnd && atEnd->descriptors <= atStart->descriptors && atEnd->threads <= atStart->threads;
        const bool countsOk = hostCrashes == 0 && hostExitedCleanly && monitorsGone && monitorsLeft.empty() &&
                              sinksWhileRunning == 0 && sinksLeft == 0 && speakers == "speakers" && backToStart &&
                              devicesOk;
        json result{{"minutes", settings.minutes},
                    {"devices", settings.devices},
                    {"lossPct", settings.lossPercent},
                    {"jitterMs", settings.jitterMs},
                    {"flapSeconds", settings.flapSeconds},
                    {"screen", settings.screen},
                    {"crashes", hostCrashes},
                    {"hostKills", hostKills},
                    {"hostExit", hostExitedCleanly ? 0 : hostStatus},
                    {"rss5MinMiB", rss5Min ? json(std::round(*rss5Min * 10) / 10) : json(nullptr)},
                    {"rssEndMiB", rssEnd ? std::round(rssEnd->rssMiB * 10) / 10 : -1},
                    {"fds", {{"start", atStart ? atStart->descriptors : -1}, {"end", atEnd ? atEnd->descriptors : -1}}},
                    {"threads", {{"start", atStart ? atStart->threads : -1}, {"end", atEnd ? atEnd->threads : -1}}},
                    {"monitorsLeft", monitorsLeft.size()},
                    {"sinksLeft", sinksLeft + sinksWhileRunning},
                    {"defaultSinkAfter", speakers},
                    {"datagramsDropped", relay->datagramsDropped()},
                    {"datagramsPassed", relay->datagramsPassed()},
                    {"staleAfterMs", kStaleAfterUs / 1000},
                    {"perDevice", perDevice},
                    {"countsOk", countsOk}};
        std::printf("%s\n", result.dump().c_str());
        std::fflush(stdout);
        if (!settings.keep.empty()) keepLogs();
        return countsOk ? 0 : 1;
    }
};

} // namespace

int main(int argc, char** argv) {
    Soak soak;
    CLI::App app{"Soak: the host and several devices for minutes, under link flaps, restarts and datagram loss"};
    app.add_option("--minutes", soak.settings.minutes, "how long the devices stream")->check(CLI::PositiveNumber);
    app.add_option("--devices", soak.settings.devices, "how many devices")->check(CLI::Range(1, 8));
    app.add_option("--loss", soak.settings.lossPercent, "per cent of Wi-Fi video datagrams dropped")
        ->check(CLI::Range(0.0, 50.0));
    app.add_option("--flap-seconds", soak.settings.flapSeconds,
                   "seconds between USB cable pulls of the first device (0: no USB link)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--host-kill-seconds", soak.settings.hostKillSeconds,
                   "seconds between kills (SIGKILL) of the host, each started again 0.5-3 s later (0: never)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--jitter-ms", soak.settings.jitterMs, "most added delay of a Wi-Fi video datagram")
        ->check(CLI::Range(0, 200));
    app.add_option("--seed", soak.settings.seed, "seed of the loss, jitter and drop schedule");
    app.add_option("--screen", soak.settings.screen, "each device's screen, WxH");
    app.add_flag("--browser,!--no-browser", soak.settings.browser,
                 "one more device: headless Chromium on the web link, its page reloaded now and then (default where "
                 "Chromium is installed)");
    app.add_option("--keep", soak.settings.keep, "copy the host's and the devices' logs into this folder");
    app.add_option("--host", soak.hostBinary, "kivdisplay-host to run");
    app.add_option("--receiver", soak.receiverBinary, "kivdisplay-receiver to run");
    CLI11_PARSE(app, argc, argv);
    return soak.run();
}
