#pragma once
// Real servers that integration tests start for themselves, each private to its test:
// its own display number or runtime folder, stopped by PID when the object goes.
// A start() result names what is missing, for GTEST_SKIP, only when the program is absent;
// any other failure is an error the test must report.
#include <array>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Linux/PrivateXServer.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"

namespace kiv::test {

using StartError = ServerStartError;
using kiv::shrinkXvfbDesktop;

// Private X servers as the host starts them (KivHostCore/Linux/PrivateXServer.hpp).
struct XvfbServer {
    static std::expected<std::unique_ptr<PrivateXServer>, StartError> start(int width = 8192, int height = 8192) {
        return PrivateXServer::startXvfb(width, height);
    }
};
struct XorgDummyServer {
    static std::expected<std::unique_ptr<PrivateXServer>, StartError> start() {
        return PrivateXServer::startXorgDummy();
    }
};

// The first device monitor ("KIV-…", not the desktop's "KIV-MAIN") RandR lists on `display`:
// x, y, width, height in pixels.
std::optional<std::array<int, 4>> firstDeviceMonitor(const std::string& display);
// Every device monitor, in RandR's order.
std::vector<std::array<int, 4>> deviceMonitors(const std::string& display);

// A user-mode PulseAudio server in its own runtime folder with a null sink named `sinkName`
// standing in for the speakers, and the stream- and default-restore modules a desktop loads.
// Clients need environment() (PULSE_RUNTIME_PATH and friends) or serverAddress().
class PulseAudioServer {
public:
    static std::expected<std::unique_ptr<PulseAudioServer>, StartError> start(const std::string& sinkName = "speakers");
    // The same served by PipeWire (pipewire, WirePlumber and pipewire-pulse), as on a PipeWire desktop.
    static std::expected<std::unique_ptr<PulseAudioServer>, StartError>
    startPipeWire(const std::string& sinkName = "speakers");
    std::vector<std::pair<std::string, std::string>> environment() const;
    std::string runtimePath() const { return (dir_.path() / "pulse").string(); }
    std::string serverAddress() const { return "unix:" + runtimePath() + "/native"; }
    // The process that serves the PulseAudio protocol.
    ChildProcess& process() { return process_; }
    // PulseAudio stopped and started again in the same runtime folder, as after an update: clients
    // lose their connection and everything they loaded.
    std::expected<void, StartError> restart();

private:
    std::expected<void, StartError> startDaemon();

    TempDir dir_{"kiv-pulse"};
    ProcessOptions options_;
    std::vector<ChildProcess> helpers_; // PipeWire's daemon and session manager, when it serves
    ChildProcess process_;
};

// The D-Bus system bus (started here unless one already answers) and avahi-daemon inside a network
// namespace of its own that holds only loopback, so it can never multicast on a real interface.
// DNS-SD clients in the test process reach it over D-Bus. Needs root (ip netns).
class AvahiServer {
public:
    static std::expected<std::unique_ptr<AvahiServer>, StartError> start();
    ~AvahiServer();
    const std::string& netns() const { return netns_; }
    ChildProcess& process() { return avahi_; }
    // Stops the daemon and starts it again, as an update would; clients see it go and come back.
    std::expected<void, StartError> restartDaemon();

private:
    std::expected<void, StartError> startDaemon();

    TempDir dir_{"kiv-avahi"};
    ProcessOptions avahiOptions_;
    ChildProcess dbus_;
    ChildProcess avahi_;
    std::string netns_;
};

// Whether a D-Bus system bus answers on this machine.
bool systemBusRunning();

} // namespace kiv::test
