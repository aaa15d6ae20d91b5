#pragma once
// The composition root's one function: the real Linux ports behind HostPlatform (monitors, capture
// and input through X11, a wlroots compositor or GNOME's; libavcodec, PulseAudio, Asio, DNS-SD,
// usbmuxd, the JSON key-value store). Nothing else in the host knows these implementations.
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Linux/DisplayBackend.hpp"
#include "KivHostCore/Linux/WebIdentity.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"

namespace kiv {

struct LinuxPlatformOptions {
    DisplayBackend backend = DisplayBackend::x11;
    std::string display; // X display ("" = $DISPLAY)
    // wlroots: the compositor's Wayland socket ("" = $WAYLAND_DISPLAY), its IPC socket ("" = $SWAYSOCK)
    // and where a restarted compositor's IPC socket is looked for ("" = $XDG_RUNTIME_DIR).
    std::string waylandDisplay;
    std::string swaySocket;
    std::string waylandRuntimeDir;
    // GNOME: the session bus its compositor serves ("" = the environment's) and PipeWire's socket
    // ("" = the environment's).
    std::string gnomeBus;
    std::string pipewireRemote;
    std::shared_ptr<KeyValueStore> defaults; // nothing: the application's JSON file
    std::optional<std::string> pulseServer;  // nothing: the environment's
    std::string x264Preset = "ultrafast";
    // The web link's certificate lives beside the settings; off: no web link at all.
    bool webLink = true;
    std::optional<std::filesystem::path> webIdentityFolder; // nothing: the configuration folder
};

class LinuxPlatform {
public:
    // `main` receives display termination and power notices.
    static std::unique_ptr<LinuxPlatform> create(LinuxPlatformOptions options, Executor& main);
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    HostPlatform& ports() { return ports_; }
    // Whether the desktop answers and lets its screen be read.
    bool canCapture() const;
    // True when the desktop takes synthetic input (XTEST, the compositor's virtual pointer).
    bool canInject() const;
    DisplayBackend backend() const;
    // Why the compositor's monitors cannot be made, as one sentence; empty when they can, and on
    // X11, where a server that cannot add monitors is served by mirroring its screen.
    std::string displayProblem() const;
    // Why devices will be given a mirror of the desktop rather than monitors of their own (an X
    // server whose screen cannot grow beside the desktop), and what to do; empty when not so.
    std::string displayNotice() const;
    // `handler` runs once on `main` when the X server this platform serves goes away (it closed
    // the connection): nothing more can be shown or streamed there. `why` is one sentence.
    void setOnDesktopLost(std::function<void(const std::string& why)> handler);
    // The web link's certificate, or why there is none (then the host has no web link).
    const std::expected<WebIdentity, std::string>& webIdentity() const;

    struct Impl;

private:
    explicit LinuxPlatform(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
    HostPlatform ports_;
};

} // namespace kiv
