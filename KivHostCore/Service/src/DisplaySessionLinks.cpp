// Links of a session: a lost link is held for another to take over, a switch moves the client
// without recreating anything, and without a client the display is kept for the grace period.
#include <fmt/format.h>

#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/Localization.hpp"

namespace kiv {
namespace {

std::string_view kindWord(std::optional<TransportKind> kind) {
    return kind ? name(*kind) : "-";
}

} // namespace

void DisplaySession::linkClosed(const std::string& id) {
    KIV_ASSERT_CONFINED(main_);
    openChannels_.erase(id);
    if (pendingApproval_ == id) {
        pendingApproval_.reset();
        if (!active_) setService(HostStatus::Service::listening());
        return;
    }
    if (!active_ || !active_->link || active_->link->id() != id) {
        publishStatus(); // the service may release an idle session
        return;
    }
    const auto lostKind = active_->link->kind();
    log_.notice(fmt::format("{} lost to {}: holding session {}s for another link (virtual display kept)",
                            kindWord(lostKind), active_->hello.deviceName,
                            static_cast<std::int64_t>(settings_.linkHoldSeconds)));
    active_->link.reset();
    inputRoute_->setActiveLink(std::nullopt);
    sender_->setTransport(nullptr);
    audioSender_->setTransport(nullptr);
    const bool hasAddresses = hostInfoProvider && !hostInfoProvider().addresses.empty();
    if (lostKind == TransportKind::usb && settings_.wifiEnabled && hasAddresses) {
        showNote(HostStatus::TransportNote::Kind::progress, localize("USB disconnected. Resuming Wi-Fi…"), false);
    } else {
        showNote(HostStatus::TransportNote::Kind::progress,
                 localize("Connection lost. Waiting for the device to reconnect…"), false);
    }
    links_.linkLost(lostKind, secondsToDuration(settings_.linkHoldSeconds));
}

void DisplaySession::holdExpired() {
    if (!active_ || active_->link) return;
    log_.info(fmt::format("No link took over within {}s: client disconnected {}",
                          static_cast<std::int64_t>(settings_.linkHoldSeconds), active_->hello.deviceName));
    showNote(HostStatus::TransportNote::Kind::failure, localize("The device disconnected"), true);
    teardownClient(false);
}

void DisplaySession::graceExpired() {
    if (active_ && !active_->paused) return;
    log_.info("Grace period expired");
    destroyDisplay();
    publishStatus();
}

void DisplaySession::migrate(const std::shared_ptr<HostTransport>& link, const Hello& hello) {
    KIV_ASSERT_CONFINED(main_);
    const auto started = main_.now();
    auto old = active_->link;
    const auto lostKind = links_.takeOver();
    const std::optional<TransportKind> oldKind = old ? std::optional(old->kind()) : lostKind;
    active_->linkChanges += 1;
    const bool screenChanged = active_->hello.screen != hello.screen;
    active_->hello = hello;
    active_->link = link;
    inputRoute_->setActiveLink(link->id());
    attachVideo(link);
    const auto applied = configuration_->applied();
    if (applied) {
        link->sendControl({connectInfo(*applied)});
        link->sendControl({status_.input});
    }
    if (old) old->close();
    status_.clientAddress = link->remoteAddress();
    status_.transport = link->kind();
    const auto display = virtualDisplay_->configuration();
    log_.notice(fmt::format(
        "Transport switched {} → {} in {}ms: session {} kept, virtual display {} unchanged ({}×{}@{}x), link changes "
        "{}",
        kindWord(oldKind), kindWord(link->kind()),
        std::chrono::duration_cast<std::chrono::milliseconds>(main_.now() - started).count(), active_->sessionID,
        status_.displayID ? std::to_string(*status_.displayID) : std::string("-"), applied ? applied->logicalWidth : 0,
        applied ? applied->logicalHeight : 0, applied ? applied->scaleFactor : 0, active_->linkChanges));
    showNote(HostStatus::TransportNote::Kind::success, localize("Connected via ") + title(link->kind()), true);
    configuration_->setTransport(link->kind());
    updateAudio(true);
    if (screenChanged) {
        // Orientation changes are debounced like the device's own orientation messages.
        orientationWork_ = onMainAfter(std::chrono::milliseconds(800), [screen = hello.screen](DisplaySession& self) {
            self.configuration_->updateScreen(screen);
        });
    }
    if (!active_->paused && stream_->isRunning()) {
        requestKeyframe();
        setService(HostStatus::Service::streaming());
        return;
    }
    sender_->setPaused(false);
    onMain([](DisplaySession& self) { self.resumeStreaming(); });
}

void DisplaySession::startGrace() {
    links_.cancelGrace();
    if (!virtualDisplay_->isActive()) return;
    log_.info(
        fmt::format("Virtual display kept for {}s grace period", static_cast<std::int64_t>(settings_.graceSeconds)));
    links_.startGrace(secondsToDuration(settings_.graceSeconds));
}

void DisplaySession::teardownClient(bool destroyDisplayNow) {
    KIV_ASSERT_CONFINED(main_);
    links_.clientGone();
    recoveryTask_.cancel();
    active_.reset();
    inputRoute_->setActiveLink(std::nullopt);
    input_->setMirroredScreen(std::nullopt);
    configuration_->end();
    stopPipeline();
    sender_->setTransport(nullptr);
    audioSender_->setTransport(nullptr);
    updateAudio(false);
    status_.clientName.reset();
    status_.clientModel.reset();
    status_.clientAddress.reset();
    status_.transport.reset();
    status_.link.reset();
    status_.configuration.reset();
    status_.client.reset();
    status_.clientRecommendedFPS.reset();
    status_.clientDecoderMBPerSecond.reset();
    status_.clientScreen.reset();
    lastDecoderSize_.reset();
    orientationWork_.cancel();
    if (destroyDisplayNow) {
        links_.cancelGrace();
        destroyDisplay();
    } else if (virtualDisplay_->isActive()) {
        startGrace();
    }
    setService(HostStatus::Service::listening());
}

void DisplaySession::disconnectClient() {
    KIV_ASSERT_CONFINED(main_);
    if (!active_) return;
    log_.info("Disconnect requested from Mac menu: " + active_->hello.deviceName);
    if (active_->link) active_->link->close(ControlMessage{Disconnect{"disconnected on the host"}});
    teardownClient(true);
}

void DisplaySession::showNote(HostStatus::TransportNote::Kind kind, std::string text, bool autoHide) {
    noteTask_.cancel();
    status_.transportNote = HostStatus::TransportNote{kind, std::move(text)};
    publishStatus();
    if (!autoHide) return;
    noteTask_ = onMainAfter(kNoteAutoHide, [](DisplaySession& self) {
        self.status_.transportNote.reset();
        self.publishStatus();
    });
}

} // namespace kiv
