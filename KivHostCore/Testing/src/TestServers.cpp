#include "KivHostCore/Testing/TestServers.hpp"

#include <regex>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <filesystem>
#include <fmt/format.h>

namespace kiv::test {

namespace {

constexpr auto kStartTimeout = std::chrono::milliseconds(20000);

StartError notInstalled(const std::string& program) {
    return StartError{true, program + " is not installed (scripts/install-deps installs it)"};
}

// Reads the display number an X server writes to its -displayfd pipe once it accepts clients.
std::optional<int> readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready <= 0) continue;
        char buffer[32];
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt; // the server exited
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) return std::atoi(text.c_str());
    }
    return std::nullopt;
}

// Starts an X server that writes its display number to the descriptor appended to `argv` after
// "-displayfd", and waits until it does (it is ready then).
std::expected<int, StartError> startXServer(std::vector<std::string> argv, const std::filesystem::path& logFile,
                                            ChildProcess& process) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(StartError{false, "pipe failed"});
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    ProcessOptions options;
    options.argv = std::move(argv);
    options.logFile = logFile;
    options.keepFds = {fds[1]};
    auto child = ChildProcess::start(options);
    ::close(fds[1]);
    if (!child) {
        ::close(fds[0]);
        return std::unexpected(StartError{false, child.error()});
    }
    process = std::move(*child);
    const auto number = readDisplayNumber(fds[0], kStartTimeout);
    ::close(fds[0]);
    if (!number) return std::unexpected(StartError{false, "the X server did not become ready: " + process.log()});
    return *number;
}

} // namespace

std::expected<std::unique_ptr<XvfbServer>, StartError> XvfbServer::start(int width, int height) {
    const auto program = findProgram("Xvfb");
    if (!program) return std::unexpected(notInstalled("Xvfb"));
    auto server = std::unique_ptr<XvfbServer>(new XvfbServer());
    const auto number = startXServer({*program, "-screen", "0", fmt::format("{}x{}x24", width, height), "-noreset", "-nolisten",
                                      "tcp", "+extension", "RANDR"},
                                     server->dir_.path() / "xvfb.log", server->process_);
    if (!number) return std::unexpected(number.error());
    server->number_ = *number;
    server->display_ = ":" + std::to_string(*number);
    return server;
}

std::expected<std::unique_ptr<XorgDummyServer>, StartError> XorgDummyServer::start() {
    const auto program = findProgram("Xorg");
    if (!program || !std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so"))
        return std::unexpected(notInstalled("Xorg with the dummy driver"));
    if (::getuid() != 0) return std::unexpected(StartError{true, "Xorg needs root here"});
    auto server = std::unique_ptr<XorgDummyServer>(new XorgDummyServer());
    const auto config = server->dir_.path() / "dummy.conf";
    {
        std::ofstream out(config);
        out << "Section \"ServerFlags\"\n  Option \"AutoAddDevices\" \"false\"\n  Option \"AutoAddGPU\" \"false\"\n"
               "  Option \"DontVTSwitch\" \"true\"\nEndSection\n"
               "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 512000\nEndSection\n"
               "Section \"Monitor\"\n  Identifier \"mon0\"\n  HorizSync 5.0-1000.0\n  VertRefresh 5.0-200.0\nEndSection\n"
               "Section \"Screen\"\n  Identifier \"screen0\"\n  Device \"dummy\"\n  Monitor \"mon0\"\n  DefaultDepth 24\n"
               "  SubSection \"Display\"\n    Depth 24\n    Virtual 8192 4096\n  EndSubSection\nEndSection\n";
    }
    const auto number = startXServer({*program, "-config", config.string(), "-noreset", "-nolisten", "tcp", "-logfile",
                                      (server->dir_.path() / "xorg.log").string(), "-novtswitch", "-sharevts"},
                                     server->dir_.path() / "xorg.out", server->process_);
    if (!number) return std::unexpected(number.error());
    server->display_ = ":" + std::to_string(*number);
    return server;
}

std::vector<std::array<int, 4>> deviceMonitors(const std::string& display) {
    const auto list = runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}}).output;
    static const std::regex line(R"((KIV-\S+)\s+(\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+))");
    std::vector<std::array<int, 4>> found;
    for (std::sregex_iterator it(list.begin(), list.end(), line), end; it != end; ++it)
        if ((*it)[1] != "KIV-MAIN") found.push_back({std::stoi((*it)[4]), std::stoi((*it)[5]), std::stoi((*it)[2]), std::stoi((*it)[3])});
    return found;
}

std::optional<std::array<int, 4>> firstDeviceMonitor(const std::string& display) {
    const auto found = deviceMonitors(display);
    if (found.empty()) return std::nullopt;
    return found.front();
}

bool shrinkXvfbDesktop(const std::string& display, int width, int height) {
    const std::vector<std::pair<std::string, std::string>> env{{"DISPLAY", display}};
    const auto name = fmt::format("desktop-{}x{}", width, height);
    const auto ok = [&](std::vector<std::string> argv) { return runProgram(argv, env).exitCode == 0; };
    return ok({"xrandr", "--newmode", name, "173.00", std::to_string(width), std::to_string(width + 128),
               std::to_string(width + 328), std::to_string(width + 656), std::to_string(height), std::to_string(height + 3),
               std::to_string(height + 8), std::to_string(height + 40), "-hsync", "+vsync"}) &&
           ok({"xrandr", "--addmode", "screen", name}) && ok({"xrandr", "--output", "screen", "--mode", name});
}

std::expected<std::unique_ptr<PulseAudioServer>, StartError> PulseAudioServer::start(const std::string& sinkName) {
    const auto program = findProgram("pulseaudio");
    if (!program) return std::unexpected(notInstalled("pulseaudio"));
    if (!findProgram("pactl")) return std::unexpected(notInstalled("pactl"));
    auto server = std::unique_ptr<PulseAudioServer>(new PulseAudioServer());
    std::filesystem::create_directories(server->runtimePath());
    std::filesystem::create_directories(server->dir_.path() / "home");
    ProcessOptions options;
    options.argv = {*program,
                    "-n",
                    "--daemonize=no",
                    "--system=false",
                    "--exit-idle-time=-1",
                    "--disallow-exit",
                    "--load=module-null-sink sink_name=" + sinkName + " rate=48000 channels=2",
                    "--load=module-native-protocol-unix",
                    // What a desktop session loads too: remembered per-application outputs and default.
                    "--load=module-stream-restore",
                    "--load=module-default-device-restore",
                    "--log-target=stderr"};
    options.environment = server->environment();
    options.logFile = server->dir_.path() / "pulse.log";
    auto child = ChildProcess::start(options);
    if (!child) return std::unexpected(StartError{false, child.error()});
    server->process_ = std::move(*child);
    const auto env = server->environment();
    const bool ready = waitUntil(
        [&] {
            if (!server->process_.isRunning()) return true;
            if (!std::filesystem::exists(server->runtimePath() + "/native")) return false;
            return runProgram({"pactl", "info"}, env, std::chrono::milliseconds(5000)).exitCode == 0;
        },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!ready || !server->process_.isRunning()) {
        return std::unexpected(StartError{false, "PulseAudio did not become ready: " + server->process_.log()});
    }
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
    if (::getuid() != 0) return std::unexpected(StartError{true, "avahi in a network namespace needs root"});
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
    avahi.argv = {*findProgram("ip"), "netns", "exec", server->netns_, *findProgram("avahi-daemon"), "-f", config.string(),
                  "--no-drop-root", "--no-chroot", "--no-rlimits"};
    avahi.logFile = server->dir_.path() / "avahi.log";
    auto child = ChildProcess::start(avahi);
    if (!child) return std::unexpected(StartError{false, child.error()});
    server->avahi_ = std::move(*child);
    const bool ready = waitUntil(
        [&] { return !server->avahi_.isRunning() || server->avahi_.log().find("Server startup complete") != std::string::npos; },
        kStartTimeout, std::chrono::milliseconds(50));
    if (!ready || !server->avahi_.isRunning()) {
        return std::unexpected(StartError{false, "avahi-daemon did not start: " + server->avahi_.log()});
    }
    return server;
}

AvahiServer::~AvahiServer() {
    avahi_.stop();
    dbus_.stop();
    if (!netns_.empty()) runProgram({"ip", "netns", "del", netns_});
}

} // namespace kiv::test
