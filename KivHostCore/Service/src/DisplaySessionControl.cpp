// What an admitted device steers: settings, keyframes, orientation, statistics, stream limits,
// pause and resume; the touch availability it is told about; the one-second metrics tick and the
// five-second statistics line.
#include <algorithm>
#include <fmt/format.h>

#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

} // namespace

void DisplaySession::handle(const ControlMessage& message, const std::shared_ptr<HostTransport>& from) {
    KIV_ASSERT_CONFINED(main_);
    if (const auto* hello = message.get<Hello>()) {
        handleHello(*hello, from);
        return;
    }
    if (isStopped_ || !active_ || !active_->link || active_->link->id() != from->id()) return;
    std::visit(Overloaded{
                   [&](const Disconnect& disconnect) {
                       log_.info("Client disconnected: " + disconnect.reason);
                       from->close();
                       teardownClient(true);
                   },
                   [&](const ConfigChange& change) { configChange(change); },
                   [&](const RequestIDR& idr) {
                       statistics_.countKeyframeRequest(idr.reason);
                       requestKeyframe();
                   },
                   [&](const ScreenInfo& screen) { scheduleOrientation(screen); },
                   [&](const ClientStats& stats) { clientStats(stats); },
                   [&](const StreamLimit& limit) {
                       if (limit.maxLong < 1 || limit.maxShort < 1) return;
                       log_.notice(fmt::format("Client requested stream limit {}x{} (decoder capability)",
                                               limit.maxLong, limit.maxShort));
                       configuration_->setStreamCap(limit.maxLong, limit.maxShort);
                   },
                   [&](const Pause&) { pauseClient(); }, [&](const Resume&) { resumeClient(); },
                   [](const auto&) {}, // what the host itself sends, and ping/input (handled on the link)
               },
               message.value);
}

void DisplaySession::configChange(const ConfigChange& change) {
    auto next = configuration_->settings();
    if (change.displaySize) next.displaySize = *change.displaySize;
    if (change.quality) next.quality = *change.quality;
    if (change.staticRefinement) next.staticRefinement = *change.staticRefinement;
    if (change.audio) next.audio = *change.audio;
    if (change.fps && std::ranges::find(supportedFPS, *change.fps) != supportedFPS.end()) next.fps = *change.fps;
    configuration_->schedule(next, SessionConfigurationManager::Origin::client(change.requestID));
}

void DisplaySession::scheduleOrientation(const ScreenInfo& screen) {
    orientationWork_ = onMainAfter(kOrientationDebounce, [screen](DisplaySession& self) {
        if (self.active_) self.active_->hello.screen = screen;
        self.status_.clientScreen = screen;
        self.configuration_->updateScreen(screen);
    });
}

void DisplaySession::clientStats(const ClientStats& stats) {
    status_.client = stats;
    statistics_.addClient(stats);
    if (stats.decodedWidth && stats.decodedHeight) {
        const std::pair size{*stats.decodedWidth, *stats.decodedHeight};
        if (lastDecoderSize_ != size) {
            lastDecoderSize_ = size;
            log_.info(fmt::format("iPad decoder actual: {}x{}", size.first, size.second));
        }
    }
    configuration_->ingest(stats, monitor_->droppedSendTotal());
}

void DisplaySession::pauseClient() {
    if (active_->paused) return;
    log_.info("Client paused");
    active_->paused = true;
    sender_->setPaused(true);
    stopPipeline();
    updateAudio(false);
    startGrace();
    setService(HostStatus::Service::paused());
}

void DisplaySession::resumeClient() {
    if (!active_->paused) return;
    log_.info("Client resumed");
    active_->paused = false;
    if (active_->link) attachVideo(active_->link);
    updateAudio(false);
    onMain([](DisplaySession& self) { self.resumeStreaming(); });
}

InputStatus DisplaySession::inputStatusNow() const {
    if (!touchControl_) return {false, RemoteText::make(RemoteText::touchDisabledOnHost)};
    if (!input_->isDryRun() && !(platform_.poster && platform_.poster->isTrusted()))
        return {false, RemoteText::make(RemoteText::touchNoAccessibility)};
    return {true, std::nullopt};
}

void DisplaySession::announceInputStatus(const InputStatus& next) {
    status_.input = next;
    log_.info("Touch control: " +
              (next.enabled ? std::string("enabled") : "unavailable (" + next.reason.value_or("-") + ")") +
              (input_->isDryRun() ? " [dry-run]" : ""));
    if (active_ && active_->link) active_->link->sendControl({next});
}

void DisplaySession::refreshInputStatus() {
    const auto next = inputStatusNow();
    if (next != status_.input) announceInputStatus(next);
}

void DisplaySession::tickMetrics() {
    status_.host = monitor_->sample();
    if (active_ && active_->link) {
        auto link = active_->link->takeMetrics();
        const auto [bytes, frames] = sender_->queueState();
        link.sendQueueBytes = std::max(link.sendQueueBytes, bytes);
        link.sendQueueFrames = std::max(link.sendQueueFrames, frames);
        status_.link = link;
        statistics_.addLink(link);
    }
    if (status_.service.kind == HostStatus::Service::Kind::streaming) {
        if (statistics_.addHost(status_.host)) flushStats();
    }
    publishStatus();
}

void DisplaySession::flushStats() {
    auto taken = statistics_.take();
    if (!taken) return;
    auto& in = *taken;
    in.targetBitrate =
        stream_->configuration().value_or(configuration_->applied().value_or(DisplayConfiguration{})).bitrate;
    in.tier = configuration_->currentTier();
    in.input = input_->takeStats();
    if (auto refined = stream_->takeRefinerStats()) in.refiner = *refined;
    const auto audio = audioSender_->takeStats(static_cast<double>(in.host.size()));
    if (audio_->isCapturing() || audio.packets > 0) in.audio = audio;
    const auto report = statistics_.report(in);
    if (report.problem)
        statsLog_.warning(report.line);
    else
        statsLog_.info(report.line);
}

} // namespace kiv
