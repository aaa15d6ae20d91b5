#pragma once
// The application's owner of the host: loads and persists the user's settings, builds and starts
// the HostService, keeps the device list and the selection the views act on, puts new devices to
// the user, and follows the permissions the host depends on (PermissionCoordinator). Main thread
// only (the Qt executor); the service's callbacks already arrive there. Views observe it and call
// its operations; they hold no logic of their own.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Autostart.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"
#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Service/HostService.hpp"
#include "KivHostCore/Service/PairingStore.hpp"

namespace kiv::app {

class PermissionCoordinator;

enum class AppearanceMode { system, light, dark };
std::string title(AppearanceMode mode); // "Match System", "Light", "Dark"
std::string_view toText(AppearanceMode mode);
AppearanceMode appearanceFrom(const std::optional<std::string>& stored); // anything else reads as system

// What the model needs from the machine and the user interface.
// An Android device on a USB cable with debugging allowed.
struct AndroidDeviceInfo {
    std::string serial;
    std::string model;
    bool operator==(const AndroidDeviceInfo&) const = default;
};

struct AppEnvironment {
    Executor* main = nullptr;
    HostPlatform* platform = nullptr;
    FrameSourceKind sourceKind = FrameSourceKind::screenCapture;
    HostSettings baseSettings = HostSettings::makeDefault(); // before the stored choices (ports, …)
    std::optional<std::filesystem::path> logFolder;          // log persistence; nothing: memory only
    std::string version = "?";                               // "0.1.0 (1)"
    std::string systemName = "Linux";                        // "Debian GNU/Linux 12"
    std::string model = "unknown";                           // the firmware's product name
    std::function<bool()> accessibilityTrusted;              // touch injection available (XTEST)
    // The firewall that is on ("ufw", "firewalld"), when one is; it may close the ports devices use.
    std::function<std::optional<std::string>()> activeFirewall;
    // Why devices will get a mirror of the desktop instead of a monitor of their own (an X server
    // whose screen cannot grow), with what to do; read when the application starts.
    std::string displayNotice;
    // Asks the user about a device; `answer` may be called later, on the main thread, at most once.
    std::function<void(const PeerRequest&, std::function<void(bool)> answer)> askApproval;
    std::function<void(AppearanceMode)> applyAppearance;
    std::function<void()> terminate; // ends the application after quit()
    // The web link's certificate fingerprint; nothing: this host has no web link.
    std::optional<std::string> webFingerprint;
    std::optional<std::uint16_t> webPortOverride; // --web-port: this run's port, whatever is stored
    // Android devices on cables, and showing the page on one through a port forward; both block
    // (adb), so the model calls them on a queue of their own. Absent: adb is not installed.
    std::function<std::vector<AndroidDeviceInfo>()> androidDevices;
    std::function<std::expected<void, std::string>(const std::string& serial, std::uint16_t port)> showPageOnAndroid;
    std::optional<AutostartEntry> autostart; // "Start at login"; absent: not offered
};

class AppModel {
public:
    // Runs the start-up steps: settings, appearance, logs, launch line, output restore, service.
    explicit AppModel(AppEnvironment environment);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // Called after every change of the observable state.
    void observe(std::function<void()> observer);

    // State.
    const HostStatus& status() const { return status_; }
    const std::optional<std::string>& startError() const { return startError_; }
    // The settings store's last trouble (unreadable file set aside, a choice it could not save).
    const std::optional<std::string>& settingsProblem() const { return settingsProblem_; }
    // Why devices on the network may not find or reach this computer, each with what to do.
    struct NetworkProblem {
        std::string text;
        std::string fix;
    };
    std::vector<NetworkProblem> localNetworkProblems() const;
    const std::string& displayNotice() const { return env_.displayNotice; }
    AppearanceMode appearance() const { return appearance_; }
    bool accessibilityGranted() const { return accessibilityGranted_; }
    bool screenCaptureGranted() const;
    const HostSettings& settings() const { return settings_; }
    PairingStore& pairing() { return *pairing_; }
    HostService* host() { return host_.get(); }
    const std::vector<HostStatus>& devices() const { return devices_; }
    const std::optional<std::string>& selectedDeviceID() const { return selectedDeviceID_; }
    const HostService::Status& hostStatus() const { return hostStatus_; }
    const HostStatus::Service& hostService() const { return hostService_; }
    const std::optional<std::string>& accessibilityRepairNote() const { return accessibilityRepairNote_; }
    // The settings the pickers show: the selected device's, else the defaults.
    SessionSettings currentSettings() const;

    // Operations.
    void startService();
    // The desktop it serves went away: every session stops (the sound output comes back), the
    // panel says why; nothing starts again by itself.
    void desktopLost(const std::string& why);
    void quit();
    void select(const std::string& deviceID);
    void setDisplaySize(DisplaySize size);
    void setQuality(QualityMode quality);
    void setAudio(AudioRoute route);
    void setFPS(std::int64_t fps);
    void setStaticRefinement(bool on);
    void setTouchControl(bool on);
    void setUSBEnabled(bool on);
    void setWebPort(std::uint16_t port); // 0 turns the web link off
    void setGraceSeconds(double seconds);
    void setAppearance(AppearanceMode mode);
    // Nothing when this run cannot offer it.
    std::optional<bool> startsAtLogin() const;
    void setStartAtLogin(bool on);
    void requestAccessibility();
    void repairAccessibility();
    void disconnect(const std::string& deviceID);
    void disconnectAll();
    void unpair(const std::string& deviceID);

    // The approval alert's texts for a device.
    struct ApprovalText {
        std::string message;
        std::string informative;
    };
    static ApprovalText approvalText(const PeerRequest& request);

    std::string sizeTitle(DisplaySize size) const;
    bool reducesResolution(std::int64_t fps) const;
    // The frame rates to offer for the selected device: 120 only to one whose screen shows it
    // (or when it is the setting already).
    std::vector<std::int64_t> frameRates() const;
    std::string sizeDescription() const; // the chosen size and the desktop it gives, for "Now: …"
    // Said under the frame-rate picker when 60 FPS costs the selected device resolution.
    std::optional<std::string> frameRateNote() const;
    // Where a browser opens this computer's page, and the certificate it will see; nothing while
    // the web link does not listen. No address when the computer has none on a local network (a
    // tablet could not reach it; one on a USB cable still can, through adb).
    struct WebLinkInfo {
        std::vector<std::string> urls;
        std::string fingerprint;
    };
    std::optional<WebLinkInfo> webLink() const;
    const std::vector<AndroidDeviceInfo>& androidDevices() const { return android_; }
    const std::optional<std::string>& androidNote() const { return androidNote_; }
    // Forwards the web port over the device's cable and opens the page in its browser.
    void showOnAndroid(const std::string& serial);
    std::string diagnosticsSummary() const;
    // What "Copy Diagnostics" copies: a dated header, the summary, this run's log, the end of the
    // previous run's.
    std::string diagnosticsReport() const;

    // Persisted keys.
    static constexpr const char* kAppearance = "appearance";
    static constexpr const char* kGraceSeconds = "graceSeconds";
    static constexpr const char* kTouchControl = "touchControl";
    static constexpr const char* kUSBEnabled = "usbEnabled";
    static constexpr const char* kWebPort = "webPort";
    static constexpr const char* kHostID = "hostID";
    static constexpr const char* kSessionSettings = "sessionSettings";
    static constexpr const char* kDeviceSettings = "deviceSettings";

private:
    void loadSettings();
    void onStatus(const HostService::Status& status);
    void update(const std::function<void(SessionSettings&)>& change);
    void storeDefaultSettings(const SessionSettings& settings);
    void storeDeviceSettings(const std::string& deviceID, const SessionSettings& settings);
    SessionSettings settingsFor(const std::string& deviceID) const;
    // What the selected device would get with `settings`; nothing without a device screen.
    std::optional<DisplayConfiguration> resolveForCurrent(const SessionSettings& settings) const;
    // The selected device's stream at `fps` and at 30 FPS, when `fps` costs it resolution.
    std::optional<std::pair<DisplayConfiguration, DisplayConfiguration>> reducedAt(std::int64_t fps) const;
    void handleDnsSdResult(std::optional<std::int32_t> code);
    void refreshAndroid();
    void refreshAccessibility();
    void refreshFirewall();
    void changed();
    void persist(bool stored, const std::string& what);

    AppEnvironment env_;
    std::shared_ptr<KeyValueStore> defaults_;
    KivLogger log_ = KivLog::logger("App");
    HostStatus status_;
    std::optional<std::string> startError_;
    std::optional<std::string> settingsProblem_;
    std::optional<std::string> firewall_; // env_.activeFirewall's last answer
    bool dnsSdFailing_ = false;           // the DNS-SD daemon refused or did not answer our registration
    AppearanceMode appearance_ = AppearanceMode::system;
    bool accessibilityGranted_ = false;
    HostSettings settings_;
    std::shared_ptr<PairingStore> pairing_;
    std::shared_ptr<HostService> host_;
    std::vector<HostStatus> devices_;
    std::optional<std::string> selectedDeviceID_;
    HostService::Status hostStatus_;
    HostStatus::Service hostService_;
    std::unique_ptr<PermissionCoordinator> permissions_;
    ScopedTimer accessibilityTimer_;
    std::optional<std::string> accessibilityRepairNote_;
    std::vector<std::function<void()>> observers_;
    std::unique_ptr<Executor> adbQueue_;
    std::vector<AndroidDeviceInfo> android_;
    std::optional<std::string> androidNote_;
    bool androidListing_ = false;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // what the adb queue's answers check
};

} // namespace kiv::app
