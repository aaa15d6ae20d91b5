#include "KivHostCore/Linux/PrivateXServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>

namespace kiv {

namespace {

constexpr auto kStartTimeout = std::chrono::milliseconds(20000);

ServerStartError notInstalled(const std::string& program) {
    return ServerStartError{true, program + " is not installed (scripts/install-deps installs it)"};
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

} // namespace

// Starts the server with "-displayfd" and waits until it writes its display number: it is ready then.
std::expected<std::unique_ptr<PrivateXServer>, ServerStartError>
PrivateXServer::launch(std::unique_ptr<PrivateXServer> server, std::vector<std::string> argv,
                       const std::string& logName) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(ServerStartError{false, "pipe failed"});
    argv.insert(argv.begin() + 1, {"-displayfd", std::to_string(fds[1])});
    ProcessOptions options;
    options.argv = std::move(argv);
    options.logFile = server->dir_.path() / logName;
    options.keepFds = {fds[1]};
    auto child = ChildProcess::start(options);
    ::close(fds[1]);
    if (!child) {
        ::close(fds[0]);
        return std::unexpected(ServerStartError{false, child.error()});
    }
    server->process_ = std::move(*child);
    const auto number = readDisplayNumber(fds[0], kStartTimeout);
    ::close(fds[0]);
    if (!number)
        return std::unexpected(ServerStartError{false, "the X server did not become ready: " + server->process_.log()});
    server->number_ = *number;
    server->display_ = ":" + std::to_string(*number);
    return server;
}

std::expected<std::unique_ptr<PrivateXServer>, ServerStartError> PrivateXServer::startXvfb(int width, int height) {
    const auto program = findProgram("Xvfb");
    if (!program) return std::unexpected(notInstalled("Xvfb"));
    auto server = std::unique_ptr<PrivateXServer>(new PrivateXServer("kiv-xvfb"));
    return launch(std::move(server),
                  {*program, "-screen", "0", fmt::format("{}x{}x24", width, height), "-noreset", "-nolisten", "tcp",
                   "+extension", "RANDR"},
                  "xvfb.log");
}

std::expected<std::unique_ptr<PrivateXServer>, ServerStartError> PrivateXServer::startXorgDummy() {
    const auto program = findProgram("Xorg");
    if (!program || !std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so"))
        return std::unexpected(notInstalled("Xorg with the dummy driver"));
    if (::getuid() != 0) return std::unexpected(ServerStartError{true, "Xorg needs root here", true});
    auto server = std::unique_ptr<PrivateXServer>(new PrivateXServer("kiv-xorg"));
    const auto config = server->dir_.path() / "dummy.conf";
    {
        std::ofstream out(config);
        out << "Section \"ServerFlags\"\n  Option \"AutoAddDevices\" \"false\"\n  Option \"AutoAddGPU\" \"false\"\n"
               "  Option \"DontVTSwitch\" \"true\"\nEndSection\n"
               "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 512000\nEndSection\n"
               "Section \"Monitor\"\n  Identifier \"mon0\"\n  HorizSync 5.0-1000.0\n  VertRefresh "
               "5.0-200.0\nEndSection\n"
               "Section \"Screen\"\n  Identifier \"screen0\"\n  Device \"dummy\"\n  Monitor \"mon0\"\n  DefaultDepth "
               "24\n"
               "  SubSection \"Display\"\n    Depth 24\n    Virtual 8192 4096\n  EndSubSection\nEndSection\n";
    }
    const auto log = (server->dir_.path() / "xorg.log").string();
    return launch(std::move(server),
                  {*program, "-config", config.string(), "-noreset", "-nolisten", "tcp", "-logfile", log, "-novtswitch",
                   "-sharevts"},
                  "xorg.out");
}

bool shrinkXvfbDesktop(const std::string& display, int width, int height) {
    const std::vector<std::pair<std::string, std::string>> env{{"DISPLAY", display}};
    const auto name = fmt::format("desktop-{}x{}", width, height);
    const auto ok = [&](std::vector<std::string> argv) { return runProgram(argv, env).exitCode == 0; };
    return ok({"xrandr", "--newmode", name, "173.00", std::to_string(width), std::to_string(width + 128),
               std::to_string(width + 328), std::to_string(width + 656), std::to_string(height),
               std::to_string(height + 3), std::to_string(height + 8), std::to_string(height + 40), "-hsync",
               "+vsync"}) &&
           ok({"xrandr", "--addmode", "screen", name}) && ok({"xrandr", "--output", "screen", "--mode", name});
}

} // namespace kiv
