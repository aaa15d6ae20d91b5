// Admission: the hello decision, pairing approval, and accepting a client (display, stream, connect).
// Every step after a suspension re-checks that the session still runs and the link is still open.
#include <fmt/format.h>

#include "KivHostCore/Platform/SecureRandom.hpp"
#include "KivHostCore/Service/DeviceText.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/Localization.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {
namespace {} // namespace

void DisplaySession::reject(const std::shared_ptr<HostTransport>& link, RejectReason reason) {
    link->close(ControlMessage{reason});
}

void DisplaySession::handleHello(const Hello& received, const std::shared_ptr<HostTransport>& link) {
    KIV_ASSERT_CONFINED(main_);
    if (isStopped_) return;
    const Hello hello = tidyHello(received);
    log_.info(fmt::format("Client discovered {} {} iOS {} @{} via {}", hello.deviceName, hello.model,
                          hello.systemVersion, link->remoteAddress(), name(link->kind())));
    if (hello.protocolVersion != KivConstants::protocolVersion) {
        log_.warning(fmt::format("Protocol version mismatch: client {} host {}", hello.protocolVersion,
                                 KivConstants::protocolVersion));
        reject(link, RejectReason::versionMismatch);
        return;
    }
    if (active_ && (!active_->link || active_->link->id() != link->id())) {
        if (pairing_->isPaired(deviceID_, hello.token)) {
            migrate(link, hello);
            return;
        }
        log_.warning("Same device on new link but pairing token invalid, restarting session");
        if (active_->link) active_->link->close();
        teardownClient(false);
    }
    if (pendingApproval_ && *pendingApproval_ != link->id()) {
        reject(link, RejectReason::busy);
        return;
    }
    if (hello.token && pairing_->isPaired(deviceID_, hello.token)) {
        log_.info("Device already paired, auto-accept");
        onMain([hello, link, token = *hello.token](DisplaySession& self) { self.accept(hello, link, token); });
        return;
    }
    if (mayAskUser && !mayAskUser(hello.deviceName, link->remoteAddress())) {
        reject(link, RejectReason::busy);
        return;
    }
    pendingApproval_ = link->id();
    log_.info("Pairing request from " + hello.deviceName + ", asking user");
    link->sendControl({PairingPending{}});
    setService(HostStatus::Service::waitingForApproval(hello.deviceName));
    onMain([hello, link](DisplaySession& self) { self.askUser(hello, link); });
}

void DisplaySession::askUser(const Hello& hello, std::shared_ptr<HostTransport> link) {
    const PeerRequest request{deviceID_, hello.deviceName, hello.model, link->remoteAddress()};
    auto answered = std::make_shared<bool>(false);
    ApprovalReply reply = [weak = weak_from_this(), hello, link, answered](bool approved) {
        if (std::exchange(*answered, true)) return;
        auto self = weak.lock();
        if (!self || self->isStopped_) return;
        if (self->pendingApproval_ != link->id()) return; // superseded
        self->pendingApproval_.reset();
        if (!self->isOpenChannel(link)) {
            if (!self->active_)
                self->setService(HostStatus::Service::listening());
            else
                self->setService(self->active_->paused ? HostStatus::Service::paused()
                                                       : HostStatus::Service::streaming());
            return;
        }
        if (!approved) {
            self->log_.warning("Pairing denied by user for " + hello.deviceName);
            self->reject(link, RejectReason::denied);
            self->setService(HostStatus::Service::listening());
            return;
        }
        const auto token = self->pairing_->pair(self->deviceID_, hello.deviceName);
        self->log_.info("Pairing approved for " + hello.deviceName + " (" + self->deviceID_ + ")");
        self->accept(hello, link, token);
    };
    if (!approvalHandler) {
        reply(false);
        return;
    }
    approvalHandler(request, std::move(reply));
}

void DisplaySession::finishAccept() {
    accepting_ = false;
    acceptingLink_.reset();
    publishStatus();
    if (auto next = std::exchange(helloAfterAccept_, std::nullopt); next && !isStopped_ && isOpenChannel(next->second))
        onMain([next = std::move(*next)](DisplaySession& self) { self.handleHello(next.first, next.second); });
}

void DisplaySession::accept(const Hello& hello, std::shared_ptr<HostTransport> link, std::string token) {
    if (isStopped_) return;
    if (accepting_ && acceptingLink_ && acceptingLink_->id() != link->id()) {
        // The device said hello on two links at once (a cable and Wi-Fi after the host restarted):
        // a second admission would give it two sessions, one of them deaf to it.
        if (helloAfterAccept_ && helloAfterAccept_->second->id() != link->id())
            reject(helloAfterAccept_->second, RejectReason::busy);
        helloAfterAccept_ = std::pair{hello, link};
        log_.info(fmt::format("{} also said hello via {} while being admitted via {}: taken once that admission ends",
                              hello.deviceName, name(link->kind()), name(acceptingLink_->kind())));
        return;
    }
    accepting_ = true;
    acceptingLink_ = link;
    if (sourceKind_ != FrameSourceKind::synthetic && !platform_.screenRecordingGranted()) {
        status_.permissionGranted = false;
        reject(link, RejectReason::permissionMissing);
        status_.service = HostStatus::Service::error(localize("KivDisplay cannot read the screen of the X display, so "
                                                              "it cannot send the extended display to your device."));
        finishAccept();
        return;
    }
    links_.cancelGrace();
    configuration_->setScreen(hello.screen);
    configuration_->setRecommendedFPS(hello.recommendedFPS.value_or(30));
    configuration_->setDecoderMBPerSecond(hello.decoderMBPerSecond);
    configuration_->setTransport(link->kind());
    configuration_->retryMonitor();
    const auto desired = configuration_->desiredConfiguration();
    stopPipeline();
    displayHello_ = hello;
    gate_->run([weak = weak_from_this(), hello, link, token, desired](DisplayOperationGate::Release release) {
        auto self = weak.lock();
        if (!self) return release();
        self->reconfigureDisplayLocked(desired, [weak, hello, link, token, desired, release](auto result) {
            release();
            if (auto again = weak.lock()) again->acceptDisplayed(hello, link, token, desired, std::move(result));
        });
    });
}

void DisplaySession::acceptDisplayed(const Hello& hello, std::shared_ptr<HostTransport> link, std::string token,
                                     DisplayConfiguration desired,
                                     std::expected<DisplayConfiguration, DisplayModeError> result) {
    DisplayConfiguration config;
    if (result) {
        config = *result;
    } else {
        log_.error("Virtual display failed in every compatible mode: " + result.error().text());
        config = mirrorFallback(desired);
    }
    configuration_->noteDisplayResult(desired, config);
    if (isStopped_ || !isOpenChannel(link)) {
        log_.info(hello.deviceName + " left while the display was being created, cleaning up");
        if (isStopped_) {
            destroyDisplay();
            accepting_ = false;
            acceptingLink_.reset();
            return;
        }
        accepting_ = false; // the grace below must see the admission over
        if (!active_) startGrace();
        status_.service = HostStatus::Service::listening();
        finishAccept();
        return;
    }
    active_ = ActiveClient{link, hello, randomNonZeroU32(), randomNonZeroU64(), std::move(token), false, false, 1};
    sender_->updateBitrate(config.bitrate);
    attachVideo(link);
    startStream(config, [weak = weak_from_this(), hello, link, config](StreamResult started) {
        if (auto self = weak.lock()) self->acceptStreaming(hello, link, config, std::move(started));
    });
}

void DisplaySession::acceptStreaming(const Hello& hello, std::shared_ptr<HostTransport> link,
                                     DisplayConfiguration config, StreamResult result) {
    if (!result) {
        log_.error("Pipeline start failed: " + result.error().text);
        reject(link, result.error().isCapture ? RejectReason::permissionMissing : RejectReason::internalError);
        teardownClient(false);
        status_.service = HostStatus::Service::error("The video stream could not start: " + result.error().text);
        finishAccept();
        return;
    }
    if (!active_ || active_->link != link) {
        finishAccept();
        return;
    }
    if (isStopped_ || !isOpenChannel(link)) {
        log_.info(hello.deviceName + " left while the stream was starting, cleaning up");
        teardownClient(isStopped_);
        finishAccept();
        return;
    }
    active_->streaming = true;
    configuration_->markApplied(config);
    link->sendControl({connectInfo(config)});
    inputRoute_->setActiveLink(link->id());
    announceInputStatus(inputStatusNow());
    log_.info(fmt::format("Client connected {} session={} via {} iPad screen {}x{} {}", hello.deviceName,
                          active_->sessionID, name(link->kind()), hello.screen.widthPixels, hello.screen.heightPixels,
                          toText(hello.screen.orientation)));
    status_.clientName = hello.deviceName;
    status_.clientModel = hello.model;
    status_.clientAddress = link->remoteAddress();
    status_.transport = link->kind();
    status_.clientScreen = hello.screen;
    status_.clientRecommendedFPS = hello.recommendedFPS.value_or(30);
    status_.clientDecoderMBPerSecond = hello.decoderMBPerSecond;
    status_.configuration = config;
    status_.service = HostStatus::Service::streaming(); // before the note publishes the status
    showNote(HostStatus::TransportNote::Kind::success, localize("Connected via ") + title(link->kind()), true);
    audio_->retryAfresh();
    updateAudio(true);
    finishAccept();
}

ConnectInfo DisplaySession::connectInfo(const DisplayConfiguration& config) const {
    ConnectInfo info;
    if (active_) {
        info.sessionID = active_->sessionID;
        info.videoKey = active_->videoKey;
        info.token = active_->token;
        if (active_->link) info.transport = active_->link->kind();
    }
    info.videoPort = settings_.videoPort;
    info.mode = {config.streamWidth, config.streamHeight, config.fps};
    info.bitrate = config.bitrate;
    info.codec = "h264";
    info.hostName = settings_.serviceName;
    info.settings = configuration_->settings();
    info.configuration = config;
    if (hostInfoProvider) {
        info.host = hostInfoProvider();
    } else {
        info.host =
            HostInfo{settings_.hostID, settings_.serviceName, {}, settings_.controlPort, KivConstants::protocolVersion};
    }
    return info;
}

void DisplaySession::attachVideo(const std::shared_ptr<HostTransport>& link) {
    if (!active_) return;
    link->beginVideo(active_->sessionID, active_->videoKey);
    sender_->setTransport(link);
    audioSender_->setTransport(link);
}

} // namespace kiv
