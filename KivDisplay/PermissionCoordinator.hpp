#pragma once
// The permissions the host depends on, with their Linux meanings: screen capture is the X display
// opening and its root being readable; touch is the X server's XTEST extension; the local network
// is the DNS-SD daemon (avahi-daemon) accepting a registration. None of them can be granted from
// here: the coordinator checks, says what to do, and polls until the condition holds. Main thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/ServiceRegistrar.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv::app {

struct PermissionProbes {
    std::function<bool()> screenCapture;
    std::function<bool()> touch;
    std::function<std::unique_ptr<ServiceRegistrar>()> makeRegistrar; // absent: no DNS-SD
    Executor* queue = nullptr; // where the registrar's replies arrive (the main executor is fine)
};

class PermissionCoordinator {
public:
    static constexpr Duration kRemedyDelay = std::chrono::milliseconds(1500);
    static constexpr Duration kPoll = std::chrono::seconds(2);
    static constexpr Duration kLocalNetworkPoll = std::chrono::seconds(3);

    PermissionCoordinator(Executor& main, PermissionProbes probes, std::function<void(bool)> onChange);
    ~PermissionCoordinator();

    void requestScreenRecording();
    void requestAccessibility(std::function<void()> onGranted = {});
    void triggerLocalNetwork();
    void pollLocalNetwork(std::function<void()> onGranted);
    // What the user should do, shown by the views and logged when a check fails.
    void openSettings();              // screen capture remedy
    void openAccessibilitySettings(); // touch remedy
    void openLocalNetworkSettings();  // DNS-SD remedy

    // The remedies name the desktop system the host uses (set once, at start, before any window).
    enum class Desktop { x11, sway, gnome };
    static void useDesktop(Desktop desktop);
    static bool onCompositor(); // sway or GNOME on Wayland
    static const char* screenRemedy();
    static const char* touchRemedy();
    static const char* localNetworkRemedy();

private:
    void probe(std::function<void(bool ok, std::int32_t error)> done);

    Executor& main_;
    PermissionProbes probes_;
    std::function<void(bool)> onChange_;
    KivLogger log_ = KivLog::logger("Permissions");
    ScopedTimer screenRemedy_, screenPoll_, touchRemedy_, touchPoll_, localPoll_, browseWarning_, browseCancel_;
    std::unique_ptr<ServiceRegistrar> browse_;
    std::unique_ptr<ServiceRegistrar> probe_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace kiv::app
