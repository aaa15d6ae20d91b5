#include "HostOptions.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "KivBase/BuildInfo.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv::host {
namespace {

std::string serviceText(const HostStatus::Service& service) {
    using Kind = HostStatus::Service::Kind;
    switch (service.kind) {
    case Kind::waitingForApproval: return "waiting for approval of " + service.text;
    case Kind::error: return "error: " + service.text;
    case Kind::stopped: return "stopped";
    case Kind::listening: return "listening";
    case Kind::streaming: return "streaming";
    case Kind::paused: return "paused";
    }
    return "?";
}

std::string deviceText(const HostStatus& device) {
    std::string name = device.clientName.value_or(device.deviceID.value_or("?").substr(0, 8));
    std::string text = name;
    if (device.transport) text += fmt::format(" via {}", kiv::name(*device.transport));
    if (device.displayID) text += fmt::format(" display {}", *device.displayID);
    if (device.configuration)
        text += fmt::format(" {}x{}", device.configuration->logicalWidth, device.configuration->logicalHeight);
    if (device.service.kind != HostStatus::Service::Kind::streaming) text += " (" + serviceText(device.service) + ")";
    if (device.transportNote) text += " [" + device.transportNote->text + "]";
    // Why the device has not got what it asked for (the main screen mirrored, a smaller mode).
    if (device.configuration && device.configuration->compatibilityNote)
        text += " [" + RemoteText::localized(*device.configuration->compatibilityNote) + "]";
    return text;
}

} // namespace

ParseResult parseOptions(int argc, const char* const* argv, HostSettings defaults) {
    Options options;
    options.settings = std::move(defaults);
    auto& s = options.settings;
    CLI::App app{"KivDisplay host without a window: gives every connecting device a monitor of its own on this "
                 "machine's X server and streams it.",
                 "kivdisplay-host"};
    const auto version = build::versionLine("kivdisplay-host", KivConstants::protocolVersion);
    app.set_version_flag("--version", version);
    std::string usbDirect;
    bool loopbackOnly = false, noWifi = false, noUsb = false, noVirtualDisplay = false, noTouch = false;
    std::string display;
    std::string frameTrace;
    app.add_option("--name", s.serviceName, "name devices see for this host")->capture_default_str();
    app.add_option("--control-port", s.controlPort, "TCP control port")->capture_default_str();
    app.add_option("--video-port", s.videoPort, "UDP video port")->capture_default_str();
    app.add_option("--web-port", s.webPort, "HTTPS port of the web link, where a browser is a device (0: off)")
        ->capture_default_str();
    app.add_flag("--loopback-only", loopbackOnly, "listen on 127.0.0.1 only; no DNS-SD");
    app.add_flag("--no-wifi", noWifi, "no Wi-Fi listeners");
    app.add_flag("--no-usb", noUsb, "no USB devices");
    app.add_option("--usb-direct", usbDirect, "reach one USB device role directly at HOST:PORT instead of usbmuxd");
    app.add_flag("--no-virtual-display", noVirtualDisplay, "stream the main screen instead of a monitor per device");
    app.add_flag("--synthetic", options.synthetic, "stream a generated test pattern instead of the screen");
    app.add_option("--grace", s.graceSeconds, "seconds a device's monitor is kept after it left")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--link-hold", s.linkHoldSeconds, "seconds a lost link waits for another one")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--max-devices", s.maxDevices,
                   "devices served at once, those kept after they left included; others are told the host is busy")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    std::string fps = "auto";
    app.add_option("--fps", fps,
                   "frame rate a device gets until it asks for another: auto (30 on Wi-Fi; 60 over USB when the "
                   "device can), 30, 60 (smoother, about twice the bandwidth and encoding work), or 120 (for a "
                   "device whose screen shows 120 Hz; others get 60)")
        ->check(CLI::IsMember({"auto", "30", "60", "120"}))
        ->capture_default_str();
    app.add_flag("--no-touch", noTouch, "ignore the devices' touches");
    app.add_option("--display", display, "X display to use (default: $DISPLAY, else a server of our own)");
    app.add_option("--backend", options.backend,
                   "desktop system for the monitors, capture and input: x11, wlroots (sway) or gnome (default: the "
                   "session's, from WAYLAND_DISPLAY, SWAYSOCK and XDG_CURRENT_DESKTOP)")
        ->check(CLI::IsMember({"x11", "wlroots", "gnome"}));
    app.add_flag("--approve-all", options.approveAll, "approve every pairing request without asking");
    app.add_option("--frame-trace", frameTrace,
                   "write each frame's stage times (damage, grab, convert, encode, send) to FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return {std::nullopt, 0, app.help()};
    } catch (const CLI::CallForVersion&) {
        return {std::nullopt, 0, version + "\n"};
    } catch (const CLI::ParseError& error) {
        return {std::nullopt, 2, std::string("kivdisplay-host: ") + error.what() + " (see --help)\n"};
    }
    s.loopbackOnly = loopbackOnly;
    s.wifiEnabled = !noWifi;
    s.usbEnabled = !noUsb;
    s.useVirtualDisplay = !noVirtualDisplay;
    s.touchControl = !noTouch;
    s.session.fps = fps == "auto" ? 0 : std::stoi(fps);
    if (!usbDirect.empty()) s.usbDirect = usbDirect;
    if (!display.empty()) options.display = display;
    if (!frameTrace.empty()) options.frameTrace = frameTrace;
    if (s.serviceName.empty()) return {std::nullopt, 2, "kivdisplay-host: --name must not be empty (see --help)\n"};
    return {std::move(options), 0, {}};
}

std::string listeningLine(const HostSettings& settings, std::uint16_t controlPort, std::uint16_t videoPort) {
    std::string usb;
    if (settings.usbDirect)
        usb = "USB: the device role at " + *settings.usbDirect + " (direct)";
    else if (settings.usbEnabled)
        usb = "USB devices through usbmuxd";
    if (!settings.wifiEnabled)
        return usb.empty() ? "Listening: nothing (Wi-Fi and USB are both off)"
                           : "Listening: " + usb + " only (Wi-Fi off)";
    auto line = fmt::format("Listening: control port {}, video port {}{}", controlPort, videoPort,
                            settings.loopbackOnly ? " (loopback only)" : "");
    if (!usb.empty()) line += "; " + usb;
    return line;
}

std::vector<std::string> webAddresses(const std::vector<std::string>& hostAddresses, std::uint16_t port) {
    std::vector<std::string> urls;
    for (const auto& address : hostAddresses)
        urls.push_back(fmt::format("https://{}:{}/", address, port));
    if (urls.empty()) urls.push_back(fmt::format("https://127.0.0.1:{}/", port));
    return urls;
}

std::string webLines(const std::vector<std::string>& urls, const std::string& fingerprint) {
    std::string text = "Web: open " + urls.front();
    for (std::size_t i = 1; i < urls.size(); ++i)
        text += " or " + urls[i];
    text += " in the browser of a tablet or phone on this network to use it as a display\n";
    text += "Web: the certificate's SHA-256 fingerprint is " + fingerprint +
            " (the browser warns once about it: compare, then continue)\n";
    return text;
}

std::string statusLine(const HostService::Status& status) {
    std::string line = "status: " + serviceText(status.service);
    if (!status.hostAddresses.empty()) {
        line += " |";
        for (const auto& a : status.hostAddresses)
            line += " " + a;
    }
    if (!status.permissionGranted) line += " | screen not readable";
    if (status.usbUnavailable) line += " | USB: " + *status.usbUnavailable;
    if (status.webUnavailable) line += " | Web: " + *status.webUnavailable;
    line += fmt::format(" | {} device(s)", status.devices.size());
    for (const auto& d : status.devices)
        line += " | " + deviceText(d);
    return line;
}

} // namespace kiv::host
