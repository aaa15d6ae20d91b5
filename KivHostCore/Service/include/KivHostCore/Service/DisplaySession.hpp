#pragma once
// Everything about one device: admission and pairing, its virtual display and media pipeline,
// moving its client between links, and keeping its display through short absences. Main-executor
// confined, except input delivery and ping answers, which run on the link's queue.
#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/AudioForwarder.hpp"
#include "KivHostCore/Audio/AudioSender.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Input/InputRoute.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/StaticRefiner.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/AudioSource.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"
#include "KivHostCore/Platform/HostTransport.hpp"
#include "KivHostCore/Service/DisplayController.hpp"
#include "KivHostCore/Service/DisplayOperationGate.hpp"
#include "KivHostCore/Service/HostSettings.hpp"
#include "KivHostCore/Service/HostStatus.hpp"
#include "KivHostCore/Service/LinkSupervisor.hpp"
#include "KivHostCore/Service/PairingStore.hpp"
#include "KivHostCore/Service/SessionConfigurationManager.hpp"
#include "KivHostCore/Service/SessionReport.hpp"
#include "KivHostCore/Service/StreamPipeline.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"
#include "VirtualDisplay/VirtualDisplayManager.hpp"

namespace kiv {

// The serial number of a device's display: FNV-1a of the identifier, bits 0, 8 and 31 cleared,
// bit 8 set, bit 0 set in portrait.
std::uint32_t displaySerial(const std::string& deviceID, bool landscape);

class DisplaySession : public ReconfigurationTarget, public std::enable_shared_from_this<DisplaySession> {
public:
    struct ActiveClient {
        std::shared_ptr<HostTransport> link; // absent between links
        Hello hello;
        std::uint32_t sessionID = 0;
        std::uint64_t videoKey = 0;
        std::string token;
        bool paused = false;
        bool streaming = false;
        std::int64_t linkChanges = 1;
    };
    using ApprovalReply = std::function<void(bool approved)>;

    static constexpr int kMaxCaptureRetries = 5;
    static constexpr Duration kOfflinePoll = std::chrono::milliseconds(250);
    static constexpr Duration kOfflineDeadline = std::chrono::seconds(10);
    static constexpr Duration kRecoveryDelay = std::chrono::seconds(1);
    static constexpr Duration kNoteAutoHide = std::chrono::seconds(4);
    static constexpr Duration kOrientationDebounce = std::chrono::milliseconds(800);

    static std::shared_ptr<DisplaySession> create(std::string deviceID, HostSettings settings,
                                                  FrameSourceKind sourceKind, std::shared_ptr<PairingStore> pairing,
                                                  std::shared_ptr<MuteCoordinator> muter,
                                                  std::shared_ptr<DisplayOperationGate> gate, HostPlatform& platform,
                                                  Executor& main);
    ~DisplaySession() override;

    // Hooks set by the service; all run on the main executor.
    std::function<void(const HostStatus&)> onStatus;
    // Asks the user; `reply` must be called once, on the main executor. Absent: refused.
    std::function<void(const PeerRequest&, ApprovalReply reply)> approvalHandler;
    std::function<void(const SessionSettings&)> onSettingsChanged;
    std::function<HostInfo()> hostInfoProvider;
    std::function<int()> otherActiveSessions;
    // Whether a pairing request from `address` may ask the user now (one prompt waits at a time).
    std::function<bool(const std::string& deviceName, const std::string& address)> mayAskUser;
    std::function<void()> onAccessibilityNeeded;

    void start();
    void stop();

    // Admission.
    void wire(const std::shared_ptr<HostTransport>& link);
    void addOpenChannel(const std::shared_ptr<HostTransport>& link);
    void handleHello(const Hello& hello, const std::shared_ptr<HostTransport>& link);
    void handle(const ControlMessage& message, const std::shared_ptr<HostTransport>& from);
    ConnectInfo connectInfo(const DisplayConfiguration& config) const;
    void refreshInputStatus();

    // Links and grace.
    void linkClosed(const std::string& id);
    void migrate(const std::shared_ptr<HostTransport>& link, const Hello& hello);
    void startGrace();
    void teardownClient(bool destroyDisplayNow);
    void disconnectClient();
    void showNote(HostStatus::TransportNote::Kind kind, std::string text, bool autoHide);

    // Display and pipeline.
    void reconfigureEncoder(const DisplayConfiguration& configuration) override;
    void reconfigureStream(const DisplayConfiguration& configuration, StreamDone done) override;
    void reconfigureDisplay(const DisplayConfiguration& configuration, DisplayDone done) override;
    void stopPipeline();
    void destroyDisplay();
    void resumeStreaming(std::function<void()> done = {});

    // Control (DisplaySessionControl.cpp).
    void scheduleOrientation(const ScreenInfo& screen);
    void tickMetrics();
    void flushStats();

    // Sound: what the session now wants of its audio forwarder.
    void updateAudio(bool forceSend);

    // State.
    bool isIdle() const;
    const HostStatus& status() const { return status_; }
    void publishStatus();
    const std::string& deviceID() const { return deviceID_; }
    const std::optional<ActiveClient>& active() const { return active_; }
    bool hasActiveClient() const { return active_.has_value(); }
    // The user is being asked about a device on this session (not yet answered).
    bool awaitsApproval() const { return pendingApproval_.has_value(); }
    bool isStreaming() const { return stream_->isRunning(); }
    bool isStopped() const { return isStopped_; }
    std::int64_t captureRetries() const { return captureRetries_; }
    const HostSettings& settings() const { return settings_; }
    void setGraceSeconds(double seconds) { settings_.graceSeconds = seconds; }
    void setTouchControl(bool on);
    void setPermissionGranted(bool granted) { status_.permissionGranted = granted; }
    SessionConfigurationManager& configuration() { return *configuration_; }
    VirtualDisplayManager& virtualDisplay() { return *virtualDisplay_; }
    InputEventManager& input() { return *input_; }
    AudioForwarder& audio() { return *audio_; }
    std::size_t openChannelCount() const { return openChannels_.size(); }

    DisplaySession(std::string deviceID, HostSettings settings, FrameSourceKind sourceKind,
                   std::shared_ptr<PairingStore> pairing, std::shared_ptr<MuteCoordinator> muter,
                   std::shared_ptr<DisplayOperationGate> gate, HostPlatform& platform, Executor& main); // use create()

private:
    using StreamResult = StreamPipeline::Result;

    // Admission (DisplaySessionAdmission.cpp).
    void askUser(const Hello& hello, std::shared_ptr<HostTransport> link);
    void accept(const Hello& hello, std::shared_ptr<HostTransport> link, std::string token);
    void acceptDisplayed(const Hello& hello, std::shared_ptr<HostTransport> link, std::string token,
                         DisplayConfiguration desired, std::expected<DisplayConfiguration, DisplayModeError> result);
    void acceptStreaming(const Hello& hello, std::shared_ptr<HostTransport> link, DisplayConfiguration config,
                         StreamResult result);
    void finishAccept();
    InputStatus inputStatusNow() const;
    void announceInputStatus(const InputStatus& next);
    void attachVideo(const std::shared_ptr<HostTransport>& link);
    void reject(const std::shared_ptr<HostTransport>& link, RejectReason reason);
    bool isOpenChannel(const std::shared_ptr<HostTransport>& link) const;

    // Display (DisplaySessionDisplay.cpp).
    void reconfigureDisplayLocked(const DisplayConfiguration& config,
                                  std::function<void(std::expected<DisplayConfiguration, DisplayModeError>)> done);
    VirtualDisplayConfiguration displayConfigurationFor(const DisplayConfiguration& config) const;
    DisplayConfiguration mirrorFallback(const DisplayConfiguration& config);
    void onTerminated();

    // Pipeline (DisplaySessionPipeline.cpp).
    void startStream(const DisplayConfiguration& config, std::function<void(StreamResult)> done);
    void resumeFailed(const std::string& text, const std::function<void()>& done);
    void sourceStopped(std::optional<CaptureError> error);
    void recover(bool offline);
    void pollOffline(MonotonicTime started, MonotonicTime deadline);
    void scheduleMetrics();
    void requestKeyframe();

    // Control (DisplaySessionControl.cpp).
    void configChange(const ConfigChange& change);
    void clientStats(const ClientStats& stats);
    void pauseClient();
    void resumeClient();

    void observePower();

    // Links (DisplaySessionLinks.cpp).
    void setService(HostStatus::Service service);
    void holdExpired();
    void graceExpired();

    template <class Fn>
    void onMain(Fn&& fn) {
        postIfAlive(main_, weak_from_this(), std::forward<Fn>(fn));
    }
    template <class Fn>
    TimerHandle onMainAfter(Duration delay, Fn&& fn) {
        return postIfAliveAfter(main_, delay, weak_from_this(), std::forward<Fn>(fn));
    }

    Executor& main_;
    HostPlatform& platform_;
    KivLogger log_ = KivLog::logger("Session");
    KivLogger statsLog_ = KivLog::logger("Stats");
    HostStatus status_;
    const std::string deviceID_;
    HostSettings settings_;
    const FrameSourceKind sourceKind_;
    std::shared_ptr<PairingStore> pairing_;
    std::shared_ptr<MuteCoordinator> muter_;
    std::shared_ptr<DisplayOperationGate> gate_;

    // Queues first: the components below hold them and go before them.
    std::unique_ptr<Executor> displayQueue_;
    std::unique_ptr<Executor> videoQueue_;
    std::unique_ptr<Executor> inputQueue_;
    std::unique_ptr<Executor> audioQueue_;

    std::shared_ptr<PerformanceMonitor> monitor_;
    std::shared_ptr<SessionConfigurationManager> configuration_;
    std::shared_ptr<VirtualDisplayClock> displayClock_;
    std::shared_ptr<VirtualDisplayManager> virtualDisplay_;
    std::shared_ptr<DisplayController> display_;
    std::shared_ptr<InputEventManager> input_;
    std::shared_ptr<InputRoute> inputRoute_; // the active link's touches, for the links' queues
    std::shared_ptr<VideoSender> sender_;
    std::shared_ptr<StreamPipeline> stream_;
    std::shared_ptr<AudioSender> audioSender_;
    std::shared_ptr<AudioForwarder> audio_;

    std::optional<ActiveClient> active_;
    std::optional<std::string> pendingApproval_;
    std::optional<Hello> displayHello_; // the client the display is made for (name, screen)
    std::map<std::string, std::shared_ptr<HostTransport>> openChannels_;
    std::int64_t captureRetries_ = 0;
    LinkSupervisor links_;
    ScopedTimer noteTask_;
    ScopedTimer recoveryTask_;
    ScopedTimer orientationWork_;
    std::shared_ptr<void> powerToken_;
    ScopedTimer metricsTimer_;
    SessionStatistics statistics_;
    std::optional<std::pair<std::int64_t, std::int64_t>> lastDecoderSize_;
    bool displaysAsleep_ = false;
    bool accepting_ = false;
    // The link being admitted, and a hello that came meanwhile on another link of this device: it
    // is handled once the admission ends (then as a link switch), never as a second admission.
    std::shared_ptr<HostTransport> acceptingLink_;
    std::optional<std::pair<Hello, std::shared_ptr<HostTransport>>> helloAfterAccept_;
    bool isStopped_ = false;
    bool touchControl_ = true;
};

} // namespace kiv
