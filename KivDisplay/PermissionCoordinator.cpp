#include "PermissionCoordinator.hpp"

#include <fmt/format.h>
#include <random>

#include "KivProtocol/KivConstants.hpp"

namespace kiv::app {

namespace {

std::string probeSuffix() {
    std::random_device device;
    return fmt::format("{:06X}", device() & 0xFFFFFF);
}

// Runs `tick` every `period` until it returns true; the timer lives in `slot`.
void repeat(Executor& main, ScopedTimer& slot, Duration period, std::function<bool()> tick) {
    slot = main.postAfter(period, [&main, &slot, period, tick = std::move(tick)]() mutable {
        if (!tick()) repeat(main, slot, period, std::move(tick));
    });
}

} // namespace

PermissionCoordinator::PermissionCoordinator(Executor& main, PermissionProbes probes,
                                             std::function<void(bool)> onChange)
    : main_(main), probes_(std::move(probes)), onChange_(std::move(onChange)) {}

PermissionCoordinator::~PermissionCoordinator() {
    *alive_ = false;
    if (browse_) browse_->unregister();
    if (probe_) probe_->unregister();
}

namespace {
PermissionCoordinator::Desktop desktopInUse = PermissionCoordinator::Desktop::x11;
} // namespace

void PermissionCoordinator::useDesktop(Desktop desktop) {
    desktopInUse = desktop;
}

bool PermissionCoordinator::onCompositor() {
    return desktopInUse != Desktop::x11;
}

const char* PermissionCoordinator::screenRemedy() {
    if (desktopInUse == Desktop::gnome)
        return "On GNOME, KivDisplay makes each device's monitor with mutter's screen-cast service "
               "(org.gnome.Mutter.ScreenCast on the session bus) and receives its picture over PipeWire. Start "
               "KivDisplay inside the GNOME session (GNOME 43 or later), with PipeWire and WirePlumber running: "
               "systemctl --user enable --now pipewire wireplumber.";
    if (desktopInUse == Desktop::sway)
        return "On sway, KivDisplay makes each device's monitor through sway's IPC and copies it with the compositor's "
               "screen copy protocol (zwlr_screencopy_manager_v1). Start KivDisplay inside the sway session, so that "
               "SWAYSOCK and WAYLAND_DISPLAY are set, with sway 1.7 or later.";
    return "KivDisplay draws the device's monitor with X11 RandR and reads it over the X connection. Run it in an X11 "
           "session (on a Wayland desktop, choose the X11 or Xorg session on the login screen) with DISPLAY set to "
           "that server, as the user who owns it.";
}

const char* PermissionCoordinator::touchRemedy() {
    if (desktopInUse == Desktop::gnome)
        return "On GNOME, touches go to each device's monitor through mutter's remote-desktop service "
               "(org.gnome.Mutter.RemoteDesktop on the session bus); there is nothing to grant. If it is missing, "
               "this GNOME does not offer it: use GNOME 43 or later, or an X11 session.";
    if (desktopInUse == Desktop::sway)
        return "On sway, touches go through the compositor's virtual pointer and keyboard "
               "(zwlr_virtual_pointer_manager_v1, "
               "zwp_virtual_keyboard_manager_v1); there is nothing to grant. If they are missing, this compositor does "
               "not offer them: use sway 1.7 or later, or an X11 session.";
    return "Touches are injected with the X server's XTEST extension; there is nothing to grant. If it is missing, the "
           "X server was started without it (for example with -extension XTEST): start it with XTEST.";
}

const char* PermissionCoordinator::localNetworkRemedy() {
    return "Devices find this computer through avahi-daemon: start it with sudo systemctl enable --now avahi-daemon.";
}

void PermissionCoordinator::requestScreenRecording() {
    const auto granted = [this] { return probes_.screenCapture && probes_.screenCapture(); };
    if (granted()) {
        log_.info("Screen recording permission: granted");
        if (onChange_) onChange_(true);
        return;
    }
    log_.warning("Screen recording permission: missing, requesting");
    screenRemedy_ = main_.postAfter(kRemedyDelay, [this, granted] {
        if (!granted()) openSettings();
    });
    repeat(main_, screenPoll_, kPoll, [this, granted] {
        if (!granted()) return false;
        log_.notice("Screen recording permission granted");
        if (onChange_) onChange_(true);
        return true;
    });
}

void PermissionCoordinator::requestAccessibility(std::function<void()> onGranted) {
    const auto trusted = [this] { return probes_.touch && probes_.touch(); };
    if (trusted()) return;
    log_.warning("Accessibility permission: missing, requesting (needed for iPad touch control)");
    touchRemedy_ = main_.postAfter(kRemedyDelay, [this, trusted] {
        if (!trusted()) openAccessibilitySettings();
    });
    repeat(main_, touchPoll_, kPoll, [this, trusted, onGranted = std::move(onGranted)] {
        if (!trusted()) return false;
        log_.info("Accessibility permission: granted");
        if (onGranted) onGranted();
        return true;
    });
}

void PermissionCoordinator::openSettings() {
    log_.notice("Opening Screen Recording settings");
    log_.warning(screenRemedy());
}

void PermissionCoordinator::openAccessibilitySettings() {
    log_.warning(touchRemedy());
}

void PermissionCoordinator::openLocalNetworkSettings() {
    log_.warning("Opening Local Network settings (permission denied)");
    log_.warning(localNetworkRemedy());
}

void PermissionCoordinator::triggerLocalNetwork() {
    if (!probes_.makeRegistrar) return;
    // A registration stands in for the browse: avahi answering is what "the local network works" means here.
    browse_ = probes_.makeRegistrar();
    auto ready = std::make_shared<bool>(false);
    const auto error = browse_->registerService(
        "KivDisplay-probe-" + probeSuffix(), std::string(KivConstants::dnsSdServiceType), 9, {}, *probes_.queue,
        [this, ready, alive = alive_](std::int32_t code, const std::string&) {
            if (!*alive) return;
            *ready = code == 0;
            if (code == 0)
                log_.info("Local network: Bonjour browse ready (permission prompt triggered if needed)");
            else
                log_.error(fmt::format("Local network browse failed: DNS-SD error {}", code));
            if (browse_) browse_->unregister();
        });
    if (error != 0) {
        log_.error(fmt::format("Local network browse failed: DNS-SD error {}", error));
        browse_.reset();
        return;
    }
    browseWarning_ = main_.postAfter(std::chrono::seconds(5), [this, ready] {
        if (!*ready)
            log_.warning(
                "Local network: Bonjour browse not ready after 5s，可能尚未授权本地网络权限（请在系统弹窗中点“允许”）");
    });
    browseCancel_ = main_.postAfter(std::chrono::seconds(10), [this] {
        if (browse_) browse_->unregister();
        browse_.reset();
    });
}

void PermissionCoordinator::probe(std::function<void(bool ok, std::int32_t error)> done) {
    if (!probes_.makeRegistrar) return done(false, -1);
    probe_ = probes_.makeRegistrar();
    const auto error =
        probe_->registerService("KivDisplay-probe-" + probeSuffix(), std::string(KivConstants::dnsSdServiceType), 9, {},
                                *probes_.queue, [this, done, alive = alive_](std::int32_t code, const std::string&) {
                                    if (!*alive) return;
                                    if (probe_) probe_->unregister();
                                    done(code == 0, code);
                                });
    if (error != 0) done(false, error);
}

void PermissionCoordinator::pollLocalNetwork(std::function<void()> onGranted) {
    auto granted = std::make_shared<bool>(false);
    repeat(main_, localPoll_, kLocalNetworkPoll, [this, granted, onGranted = std::move(onGranted)] {
        if (*granted) return true;
        probe([this, granted, onGranted](bool ok, std::int32_t) {
            if (!ok || *granted) return;
            *granted = true;
            localPoll_.cancel();
            if (onGranted) onGranted();
        });
        return false;
    });
}

} // namespace kiv::app
