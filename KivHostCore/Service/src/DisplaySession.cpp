// The session object: construction, start, stop, idle test, and wiring of its links.
#include "KivHostCore/Service/DisplaySession.hpp"

#include <fmt/format.h>

#include "KivProtocol/HostClock.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

std::uint32_t displaySerial(const std::string& deviceID, bool landscape) {
    std::uint32_t hash = 0x811C9DC5u;
    for (const char c : deviceID) {
        const auto byte = static_cast<std::uint8_t>(c);
        hash ^= byte;
        hash *= 16777619u;
    }
    hash &= 0x7FFFFEFEu;
    hash |= 0x100u;
    if (!landscape) hash |= 1u;
    return hash;
}

std::shared_ptr<DisplaySession>
DisplaySession::create(std::string deviceID, HostSettings settings, FrameSourceKind sourceKind,
                       std::shared_ptr<PairingStore> pairing, std::shared_ptr<MuteCoordinator> muter,
                       std::shared_ptr<DisplayOperationGate> gate, HostPlatform& platform, Executor& main) {
    auto session =
        std::make_shared<DisplaySession>(std::move(deviceID), std::move(settings), sourceKind, std::move(pairing),
                                         std::move(muter), std::move(gate), platform, main);
    std::weak_ptr<DisplaySession> weak = session;
    session->audio_->onStatus = [weak](const std::optional<AudioStatus>& next) {
        auto self = weak.lock();
        if (!self) return;
        self->status_.audio = next;
        // Absent means "no sound here": the device hears it as a status with nothing streaming.
        if (self->active_ && self->active_->link) self->active_->link->sendControl({next.value_or(AudioStatus{})});
        self->publishStatus();
    };
    auto& config = *session->configuration_;
    config.setTarget(std::weak_ptr<ReconfigurationTarget>(session));
    config.onApplying = [weak](const SessionConfigurationManager::Origin& origin) {
        auto self = weak.lock();
        if (!self || !self->active_ || !self->active_->link) return;
        ConfigApplying applying;
        if (origin.kind == SessionConfigurationManager::Origin::Kind::client) applying.requestID = origin.requestID;
        self->active_->link->sendControl({applying});
    };
    config.onApplied = [weak](const ConfigApplied& applied) {
        auto self = weak.lock();
        if (!self) return;
        if (self->active_ && self->active_->link) self->active_->link->sendControl({applied});
        self->status_.configuration = applied.configuration;
        self->publishStatus();
    };
    config.onSettingsChanged = [weak](const SessionSettings& changed) {
        auto self = weak.lock();
        if (!self) return;
        self->status_.settings = changed;
        if (self->onSettingsChanged) self->onSettingsChanged(changed);
        // A change is a new chance for sound that had been given up on.
        self->audio_->retryIfGaveUp();
        self->updateAudio(false);
    };
    config.onStateChange = [weak](const ApplyState& state) {
        auto self = weak.lock();
        if (!self) return;
        self->status_.configState = state;
        self->publishStatus();
    };
    session->virtualDisplay_->setOnTerminated([weak] {
        if (auto self = weak.lock()) self->onTerminated();
    });
    session->sender_->onNeedKeyframe = [weak, main = main.handle()] {
        main.post([weak] {
            if (auto self = weak.lock()) self->requestKeyframe();
        });
    };
    return session;
}

DisplaySession::DisplaySession(std::string deviceID, HostSettings settings, FrameSourceKind sourceKind,
                               std::shared_ptr<PairingStore> pairing, std::shared_ptr<MuteCoordinator> muter,
                               std::shared_ptr<DisplayOperationGate> gate, HostPlatform& platform, Executor& main)
    : main_(main), platform_(platform), deviceID_(std::move(deviceID)), settings_(std::move(settings)),
      sourceKind_(sourceKind), pairing_(std::move(pairing)), muter_(std::move(muter)), gate_(std::move(gate)),
      displayQueue_(platform.makeQueue("kiv.display", true)), videoQueue_(platform.makeQueue("kiv.video", false)),
      inputQueue_(platform.makeQueue("kiv.input", false)), audioQueue_(platform.makeQueue("kiv.audio", false)),
      monitor_(std::make_shared<PerformanceMonitor>(main)),
      configuration_(SessionConfigurationManager::create(main, settings_.session)),
      displayClock_(platform.makeDisplayClock(*displayQueue_)),
      virtualDisplay_(VirtualDisplayManager::create(platform.displays, displayClock_)),
      display_(
          DisplayController::create(main, *displayQueue_, virtualDisplay_, displayClock_, settings_.useVirtualDisplay)),
      input_(InputEventManager::create(*inputQueue_, platform.poster, platform.displayBounds, platform.defaults,
                                       platform.wallSeconds)),
      inputRoute_(std::make_shared<InputRoute>(input_)), sender_(VideoSender::create(*videoQueue_, monitor_)),
      stream_(StreamPipeline::create(sourceKind, platform, main, monitor_, sender_)),
      audioSender_(AudioSender::create()),
      audio_(AudioForwarder::create(main, *audioQueue_, audioSender_, muter_, platform.makeAudioRecorder)),
      links_(main, {.holdExpired = [this] { holdExpired(); }, .graceExpired = [this] { graceExpired(); }}),
      touchControl_(settings_.touchControl) {
    status_.deviceID = deviceID_;
    status_.settings = settings_.session;
    input_->setEnabled(touchControl_);
    // The pipeline is the session's alone and calls back only on main, so it never sees a
    // session that is gone.
    stream_->onSourceStopped = [this](std::optional<CaptureError> error) { sourceStopped(error); };
    stream_->onRunning = [this] { captureRetries_ = 0; };
    stream_->beforeStop = [this] { flushStats(); };
}

// A session dropped without stop() (the service failed mid-way) still must not leave capture
// running or a display behind: the pipeline stops its generation and the display manager removes
// the display as they go.
DisplaySession::~DisplaySession() = default;

void DisplaySession::start() {
    KIV_ASSERT_CONFINED(main_);
    // The input queue finds out first that touches cannot be injected; the user hears it from main.
    input_->onUnauthorizedInput = [main = main_.handle(), weak = weak_from_this()] {
        main.post([weak] {
            if (auto self = weak.lock(); self && !self->isStopped_ && self->onAccessibilityNeeded)
                self->onAccessibilityNeeded();
        });
    };
    status_.permissionGranted = sourceKind_ == FrameSourceKind::synthetic || platform_.screenRecordingGranted();
    observePower();
    scheduleMetrics();
    setService(HostStatus::Service::listening());
}

void DisplaySession::stop() {
    KIV_ASSERT_CONFINED(main_);
    isStopped_ = true;
    noteTask_.cancel();
    orientationWork_.cancel();
    std::string line = "Ending device session";
    if (active_) line += ", disconnecting " + active_->hello.deviceName;
    log_.info(line + " (" + deviceID_.substr(0, 8) + ")");
    links_.clientGone();
    links_.cancelGrace();
    recoveryTask_.cancel();
    if (active_ && active_->link) active_->link->close(ControlMessage{Disconnect{"service stopped"}});
    active_.reset();
    inputRoute_->setActiveLink(std::nullopt);
    configuration_->end();
    for (auto& [id, link] : openChannels_)
        link->close();
    openChannels_.clear();
    pendingApproval_.reset();
    stopPipeline();
    sender_->setTransport(nullptr);
    audioSender_->setTransport(nullptr);
    audio_->stop();
    status_.audio.reset();
    destroyDisplay();
    displayQueue_->sync([] {});
    audioQueue_->sync([] {});
    metricsTimer_.cancel();
    powerToken_.reset();
    const auto settings = status_.settings;
    status_ = HostStatus{};
    status_.deviceID = deviceID_;
    status_.settings = settings;
    publishStatus();
    log_.info("Session stopped (" + deviceID_.substr(0, 8) + ")");
}

void DisplaySession::scheduleMetrics() {
    metricsTimer_ = onMainAfter(std::chrono::seconds(1), [](DisplaySession& self) {
        if (self.isStopped_) return;
        self.scheduleMetrics();
        self.tickMetrics();
    });
}

bool DisplaySession::isIdle() const {
    return !active_ && !virtualDisplay_->isActive() && !pendingApproval_ && openChannels_.empty() && !accepting_;
}

void DisplaySession::publishStatus() {
    if (onStatus) onStatus(status_);
}

void DisplaySession::setService(HostStatus::Service service) {
    status_.service = std::move(service);
    publishStatus();
}

void DisplaySession::setTouchControl(bool on) {
    KIV_ASSERT_CONFINED(main_);
    touchControl_ = on;
    settings_.touchControl = on;
    input_->setEnabled(on);
}

void DisplaySession::wire(const std::shared_ptr<HostTransport>& link) {
    KIV_ASSERT_CONFINED(main_);
    std::weak_ptr<DisplaySession> weakSelf = weak_from_this();
    std::weak_ptr<HostTransport> weakLink = link;
    const std::string id = link->id();
    auto main = main_.handle();
    // Runs on the link's queue: only pings and input are handled there, and neither may hold the
    // session (it is only ever locked, and so released, on the main thread).
    link->setOnControl([weakSelf, weakLink, id, main, route = inputRoute_](const ControlMessage& message) {
        if (answerPing(weakLink, message)) return;
        if (const auto* event = message.get<InputEvent>()) {
            route->deliver(id, *event);
            return;
        }
        main.post([weakSelf, weakLink, message] {
            auto self = weakSelf.lock();
            auto l = weakLink.lock();
            if (self && l) self->handle(message, l);
        });
    });
    link->setOnClosed([weakSelf, id, main](const std::string&) {
        main.post([weakSelf, id] {
            if (auto self = weakSelf.lock()) self->linkClosed(id);
        });
    });
    link->setOnVideoReady([weakSelf, main] {
        main.post([weakSelf] {
            if (auto self = weakSelf.lock()) self->requestKeyframe();
        });
    });
}

void DisplaySession::addOpenChannel(const std::shared_ptr<HostTransport>& link) {
    openChannels_[link->id()] = link;
}

bool DisplaySession::isOpenChannel(const std::shared_ptr<HostTransport>& link) const {
    return link && link->isOpen() && openChannels_.contains(link->id());
}

void DisplaySession::requestKeyframe() {
    stream_->requestKeyframe();
}

} // namespace kiv
