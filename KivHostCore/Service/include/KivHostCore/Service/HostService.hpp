#pragma once
// The host: owns the listeners (Wi-Fi control server and UDP video listener, DNS-SD advertiser,
// USB device monitor, web link), keeps links until they say hello, gives every device one session, and
// folds the sessions' states into one status. Main-executor confined; every handler runs there.
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"
#include "KivHostCore/Service/DisplayOperationGate.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivHostCore/Service/HostSettings.hpp"
#include "KivHostCore/Service/HostStatus.hpp"
#include "KivHostCore/Service/PairingStore.hpp"
#include "KivHostCore/Transport/AdmissionLimits.hpp"
#include "KivHostCore/Transport/USBDeviceMonitor.hpp"

namespace kiv {

class DnsSdAdvertiser;
class ControlServer;
class ServiceRegistrar;
class UDPVideoListener;
class WebLinkServer;

// Where a direct USB connection goes: "host:port", empty parts dropped; host 127.0.0.1 and port
// 52012 when missing or unreadable.
USBDeviceMonitor::Direct parseUsbDirect(const std::string& text);

class HostService : public std::enable_shared_from_this<HostService> {
public:
    static constexpr Duration kHelloTimeout = std::chrono::seconds(10);

    struct Status {
        HostStatus::Service service;
        std::vector<std::string> hostAddresses;
        std::vector<USBDeviceStatus> usbDevices;
        std::optional<std::string> usbUnavailable;
        std::optional<std::string> webUnavailable; // the web link was asked for and cannot listen
        bool permissionGranted = true;
        std::vector<HostStatus> devices;
        bool operator==(const Status&) const = default;
    };

    static std::shared_ptr<HostService> create(HostSettings settings, FrameSourceKind sourceKind,
                                               std::shared_ptr<PairingStore> pairing, HostPlatform& platform,
                                               Executor& main);
    ~HostService();

    std::function<void(const Status&)> onStatus;
    std::function<void(const PeerRequest&, DisplaySession::ApprovalReply)> approvalHandler;
    std::function<void(const std::string& deviceID, const SessionSettings&)> onSettingsChanged;
    std::function<SessionSettings(const std::string& deviceID)> settingsForDevice;
    std::function<void(std::optional<std::int32_t>)> onDnsSdResult;
    std::function<void()> onAccessibilityNeeded;
    std::function<void(DisplaySession&)> onSessionCreated;
    double simulatedPacketLoss = 0;

    std::expected<void, std::string> start();
    void stop();

    HostInfo hostInfo() const;
    std::vector<std::shared_ptr<DisplaySession>> allSessions() const;
    std::shared_ptr<DisplaySession> session(const std::string& deviceID) const;
    void requestSettings(const std::string& deviceID, const SessionSettings& settings);
    void disconnect(const std::string& deviceID);
    void disconnectAll();
    void setTouchControl(bool on);
    void refreshInputStatus();
    void setGraceSeconds(double seconds);
    void refreshPermission();
    bool requiresScreenRecordingPermission() const { return sourceKind_ == FrameSourceKind::screenCapture; }

    const Status& status() const { return status_; }
    const HostSettings& settings() const { return settings_; }
    std::size_t pendingCount() const { return pending_.size(); }
    // Bound ports once listening (the settings' ports unless they were 0).
    std::uint16_t controlPort() const;
    std::uint16_t videoPort() const;
    std::uint16_t webPort() const; // 0 when the web link is off or cannot listen

    HostService(HostSettings settings, FrameSourceKind sourceKind, std::shared_ptr<PairingStore> pairing,
                HostPlatform& platform, Executor& main); // use create()

private:
    std::expected<void, std::string> startWiFi();
    void startUSB();
    void startWeb();
    std::function<void(std::shared_ptr<HostTransport>)> streamLinkHandler();
    void accept(const std::shared_ptr<HostTransport>& link);
    void route(const Hello& hello, const std::shared_ptr<HostTransport>& link);
    std::shared_ptr<DisplaySession> makeSession(const Hello& hello);
    void sessionChanged(std::string deviceID); // by value: the caller's copy may go with the session's hook
    void ask(const PeerRequest& request, DisplaySession::ApprovalReply reply);
    void emit();
    bool granted() const;

    template <class Fn>
    void onMain(Fn&& fn) {
        postIfAlive(main_, weak_from_this(), std::forward<Fn>(fn));
    }

    Executor& main_;
    HostPlatform& platform_;
    KivLogger log_ = KivLog::logger("Service");
    RefusalNotes refusals_; // main only
    Status status_;
    HostSettings settings_;
    const FrameSourceKind sourceKind_;
    std::shared_ptr<PairingStore> pairing_;
    std::unique_ptr<Executor> muteQueue_;
    std::shared_ptr<MuteCoordinator> muter_;
    std::shared_ptr<DisplayOperationGate> gate_;
    std::unique_ptr<Executor> controlQueue_;
    std::unique_ptr<Executor> serverQueue_;
    std::unique_ptr<Executor> udpQueue_;
    std::unique_ptr<Executor> usbQueue_;
    std::unique_ptr<Executor> dnsSdQueue_;
    std::unique_ptr<Executor> webQueue_;
    std::unique_ptr<ServiceRegistrar> registrar_;
    std::shared_ptr<ControlServer> server_;
    std::shared_ptr<UDPVideoListener> udp_;
    std::shared_ptr<USBDeviceMonitor> usbMonitor_;
    std::shared_ptr<WebLinkServer> web_;
    std::shared_ptr<DnsSdAdvertiser> advertiser_;
    std::map<std::string, std::shared_ptr<DisplaySession>> sessions_;
    std::vector<std::shared_ptr<DisplaySession>> retiring_; // released, destroyed on the next main turn
    std::vector<std::string> order_;
    std::map<std::string, std::shared_ptr<HostTransport>> pending_;
    std::map<std::string, ScopedTimer> helloTimers_;
    // Per device, the pairing question the user has not answered yet and whom its answer is for.
    struct OpenQuestion {
        DisplaySession::ApprovalReply reply;
    };
    std::map<std::string, std::shared_ptr<OpenQuestion>> questions_;
    std::optional<std::string> listenerError_;
    bool restoredAfterCrash_ = false; // once per service, at its first start
};

} // namespace kiv
