#include "KivHostCore/Testing/TestServers.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <regex>

namespace kiv::test {

namespace {

constexpr auto kStartTimeout = std::chrono::milliseconds(20000);

StartError notInstalled(const std::string& program) {
    return StartError{true, program + " is not installed (scripts/install-deps installs it)"};
}

} // namespace

std::vector<std::array<int, 4>> deviceMonitors(const std::string& display) {
    const auto list = runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}}).output;
    static const std::regex line(R"((KIV-\S+)\s+(\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+))");
    std::vector<std::array<int, 4>> found;
    for (std::sregex_iterator it(list.begin(), list.end(), line), end; it != end; ++it)
        if ((*it)[1] != "KIV-MAIN")
            found.push_back({std::stoi((*it)[4]), std::stoi((*it)[5]), std::stoi((*it)[2]), std::stoi((*it)[3])});
    return found;
}

std::optional<std::array<int, 4>> firstDeviceMonitor(const std::string& display) {
    const auto found = deviceMonitors(display);
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::expected<std::unique_ptr<PulseAudioServer>, StartError> PulseAudioServer::start(const std::string& sinkName) {
    const auto program = findProgram("pulseaudio");
    if (!program) return std::unexpected(notInstalled("pulseaudio"));
    if (!findProgram("pactl")) return std::unexpected(notInstalled("pactl"));
    auto server = std::unique_ptr<PulseAudioServer>(new PulseAudioServer());
    std::filesystem::create_directories(server->runtimePath());
    std::filesystem::create_directories(server->dir_.path() / "home");
    ProcessOptions options;
    options.argv = {*program, "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--disallow-exit",
                    "--load=module-null-sink sink_name=" + sinkName + " rate=48000 channels=2",
                    "--load=module-native-protocol-unix",
                    // What a desktop session loads too: remembered per-application outputs and default.
                    "--load=module-stream-restore", "--load=module-default-device-restore", "--log-target=stderr"};
    options.environment = server->environment();
    options.logFile = server->dir_.path() / "pulse.log";
    server->options_ = options;
    if (auto started = server->startDaemon(); !started) return std::unexpected(started.error());
    return server;
}

std::expected<void, StartError> PulseAudioServer::startDaemon() {
    auto child = ChildProcess::start(options_);
    if (!child) return std::unexpected(StartError{false, child.error()});
    process_ = std::move(*child);
    const auto env = environment();
    const bool ready = waitUntil(
        [&] {
            if (!process_.isRunning()) return true;
            if (!std::filesystem::exists(runtimePath() + "/native")) return false;
            return runProgram({"pactl", "info"}, env, std::chrono::milliseconds(5000)).exitCode == 0;
        },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!ready || !process_.isRunning())
        return std::unexpected(StartError{false, "PulseAudio did not become ready: " + process_.log()});
    return {};
}

std::expected<void, StartError> PulseAudioServer::restart() {
    if (options_.argv.empty()) return std::unexpected(StartError{false, "only a PulseAudio server restarts here"});
    process_.stop();
    std::error_code ignored;
    std::filesystem::remove(runtimePath() + "/native", ignored);
    std::filesystem::remove(runtimePath() + "/pid", ignored);
    return startDaemon();
}

std::expected<std::unique_ptr<PulseAudioServer>, StartError>
PulseAudioServer::startPipeWire(const std::string& sinkName) {
    for (const char* program : {"pipewire", "wireplumber", "pipewire-pulse", "pactl", "pw-metadata"})
        if (!findProgram(program)) return std::unexpected(notInstalled(program));
    auto server = std::unique_ptr<PulseAudioServer>(new PulseAudioServer());
    std::filesystem::create_directories(server->runtimePath());
    std::filesystem::create_directories(server->dir_.path() / "home");
    auto env = server->environment();
    // Its own session bus: WirePlumber wants one, and must not meet the machine's.
    const auto bus = "unix:path=" + (server->dir_.path() / "bus").string();
    env.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus);
    env.emplace_back("PIPEWIRE_RUNTIME_DIR", server->dir_.path().string());
    const auto launch = [&](std::vector<std::string> argv,
                            const std::string& log) -> std::expected<ChildProcess, StartError> {
        auto child = ChildProcess::start({std::move(argv), env, server->dir_.path() / log, {}});
        if (!child) return std::unexpected(StartError{false, child.error()});
        return std::move(*child);
    };
    const auto dbus = findProgram("dbus-daemon");
    if (!dbus) return std::unexpected(notInstalled("dbus-daemon"));
    for (auto argv :
         {std::vector<std::string>{*dbus, "--session", "--nofork", "--nopidfile", "--address=" + bus},
          std::vector<std::string>{*findProgram("pipewire")}, std::vector<std::string>{*findProgram("wireplumber")}}) {
        const auto name = std::filesystem::path(argv.front()).filename().string();
        auto child = launch(argv, name + ".log");
        if (!child) return std::unexpected(child.error());
        server->helpers_.push_back(std::move(*child));
        const auto ready = name == "dbus-daemon"
                               ? waitUntil([&] { return std::filesystem::exists(server->dir_.path() / "bus"); },
                                           kStartTimeout, std::chrono::milliseconds(20))
                           : name == "pipewire"
                               ? waitUntil([&] { return std::filesystem::exists(server->dir_.path() / "pipewire-0"); },
                                           kStartTimeout, std::chrono::milliseconds(20))
                               : true;
        if (!ready)
            return std::unexpected(StartError{false, name + " did not start: " + server->helpers_.back().log()});
    }
    // The PulseAudio server only once WirePlumber's "default" metadata exists, as on a desktop.
    // Started earlier (0.3.65), its clients now and then never heard of a new default, nor could
    // they set one ("Not supported"); each time a global id freed at start-up went to the metadata.
    const bool defaults = waitUntil(
        [&] {
            return runProgram({"pw-metadata", "-n", "default"}, env, std::chrono::milliseconds(5000))
                       .output.find("Found \"default\"") != std::string::npos;
        },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!defaults)
        return std::unexpected(
            StartError{false, "WirePlumber made no default metadata: " + server->helpers_.back().log()});
    auto pulse = launch({*findProgram("pipewire-pulse")}, "pipewire-pulse.log");
    if (!pulse) return std::unexpected(pulse.error());
    server->process_ = std::move(*pulse);
    const bool ready = waitUntil(
        [&] {
            if (!server->process_.isRunning()) return true;
            return runProgram({"pactl", "info"}, env, std::chrono::milliseconds(5000)).exitCode == 0;
        },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!ready || !server->process_.isRunning())
        return std::unexpected(StartError{false, "pipewire-pulse did not become ready: " + server->process_.log()});
    // The speakers: a null sink made the way a user would, then the default output.
    for (const auto& command : {std::vector<std::string>{"pactl", "load-module", "module-null-sink",
                                                         "sink_name=" + sinkName, "rate=48000", "channels=2"},
                                std::vector<std::string>{"pactl", "set-default-sink", sinkName}}) {
        const auto result = runProgram(command, env, std::chrono::milliseconds(5000));
        if (result.exitCode != 0) return std::unexpected(StartError{false, "pactl failed: " + result.output});
    }
    const bool sinkReady = waitUntil(
        [&] {
            const auto info = runProgram({"pactl", "get-default-sink"}, env, std::chrono::milliseconds(5000));
            return info.exitCode == 0 && info.output.starts_with(sinkName);
        },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!sinkReady)
        return std::unexpected(StartError{false, "PipeWire did not make the " + sinkName + " sink the default"});
    return server;
}

std::vector<std::pair<std::string, std::string>> PulseAudioServer::environment() const {
    const auto home = (dir_.path() / "home").string();
    return {{"PULSE_RUNTIME_PATH", runtimePath()},
            {"PULSE_SERVER", "unix:" + runtimePath() + "/native"},
            {"XDG_RUNTIME_DIR", dir_.path().string()},
            {"HOME", home},
            {"XDG_CONFIG_HOME", home + "/.config"}};
}

bool systemBusRunning() {
    return runProgram({"dbus-send", "--system", "--dest=org.freedesktop.DBus", "--print-reply", "/org/freedesktop/DBus",
                       "org.freedesktop.DBus.GetId"},
                      {}, std::chrono::milliseconds(5000))
               .exitCode == 0;
}

std::expected<std::unique_ptr<AvahiServer>, StartError> AvahiServer::start() {
    for (const char* program : {"avahi-daemon", "dbus-daemon", "dbus-send", "ip"}) {
        if (!findProgram(program)) return std::unexpected(notInstalled(program));
    }
    if (::getuid() != 0) return std::unexpected(StartError{true, "avahi in a network namespace needs root", true});
    auto server = std::unique_ptr<AvahiServer>(new AvahiServer());
    if (!systemBusRunning()) {
        std::filesystem::create_directories("/run/dbus");
        std::error_code ignored;
        std::filesystem::remove("/run/dbus/pid", ignored); // a stale pid file blocks the start
        ProcessOptions bus;
        bus.argv = {*findProgram("dbus-daemon"), "--system", "--nofork", "--nopidfile"};
        bus.logFile = server->dir_.path() / "dbus.log";
        auto child = ChildProcess::start(bus);
        if (!child) return std::unexpected(StartError{false, child.error()});
        server->dbus_ = std::move(*child);
        if (!waitUntil([] { return systemBusRunning(); }, kStartTimeout, std::chrono::milliseconds(50))) {
            return std::unexpected(StartError{false, "the D-Bus system bus did not start: " + server->dbus_.log()});
        }
    }
    server->netns_ = fmt::format("kivtest-{}", ::getpid());
    runProgram({"ip", "netns", "del", server->netns_});
    if (runProgram({"ip", "netns", "add", server->netns_}).exitCode != 0 ||
        runProgram({"ip", "netns", "exec", server->netns_, "ip", "link", "set", "lo", "up"}).exitCode != 0) {
        return std::unexpected(StartError{false, "cannot create the network namespace " + server->netns_});
    }
    const auto config = server->dir_.path() / "avahi.conf";
    std::ofstream(config) << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\n"
                             "[wide-area]\nenable-wide-area=no\n"
                             "[publish]\npublish-hinfo=no\npublish-workstation=no\n";
    std::error_code ignored;
    std::filesystem::remove("/run/avahi-daemon/pid", ignored);
    ProcessOptions avahi;
    avahi.argv = {
        *findProgram("ip"), "netns",          "exec",        server->netns_, *findProgram("avahi-daemon"), "-f",
        config.string(),    "--no-drop-root", "--no-chroot", "--no-rlimits"};
    avahi.logFile = server->dir_.path() / "avahi.log";
    server->avahiOptions_ = avahi;
    if (auto started = server->startDaemon(); !started) return std::unexpected(started.error());
    return server;
}

std::expected<void, StartError> AvahiServer::startDaemon() {
    auto child = ChildProcess::start(avahiOptions_);
    if (!child) return std::unexpected(StartError{false, child.error()});
    avahi_ = std::move(*child);
    const bool ready = waitUntil(
        [&] { return !avahi_.isRunning() || avahi_.log().find("Server startup complete") != std::string::npos; },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!ready || !avahi_.isRunning())
        return std::unexpected(StartError{false, "avahi-daemon did not start: " + avahi_.log()});
    return {};
}

std::expected<void, StartError> AvahiServer::restartDaemon() {
    avahi_.stop();
    std::error_code ignored;
    std::filesystem::remove("/run/avahi-daemon/pid", ignored);
    return startDaemon();
}

AvahiServer::~AvahiServer() {
    avahi_.stop();
    dbus_.stop();
    if (!netns_.empty()) runProgram({"ip", "netns", "del", netns_});
}

} // namespace kiv::test
