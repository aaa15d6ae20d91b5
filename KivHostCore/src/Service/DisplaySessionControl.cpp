// What an admitted device steers: settings, keyframes, orientation, statistics, stream limits,
// pause and resume; the touch availability it is told about; the one-second metrics tick and the
// five-second statistics line.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

std::int64_t kib(std::int64_t bytes) { return bytes / 1024; }

} // namespace

void DisplaySession::handle(const ControlMessage& message, const std::shared_ptr<HostTransport>& from) {
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
                       ++idrCounts_[idr.reason];
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
                   [&](const Pause&) { pauseClient(); },
                   [&](const Resume&) { resumeClient(); },
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
    clientSamples_.push_back(stats);
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
    if (!touchControl_) return {false, RemoteText::make(RemoteText::touchDisabledOnMac)};
    if (!dryRun_ && !(platform_.poster && platform_.poster->isTrusted()))
        return {false, RemoteText::make(RemoteText::touchNoAccessibility)};
    return {true, std::nullopt};
}

void DisplaySession::announceInputStatus(const InputStatus& next) {
    status_.input = next;
    log_.info("Touch control: " +
              (next.enabled ? std::string("enabled") : "unavailable (" + next.reason.value_or("-") + ")") +
              (dryRun_ ? " [dry-run]" : ""));
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
        linkSamples_.push_back(link);
    }
    if (status_.service.kind == HostStatus::Service::Kind::streaming) {
        hostSamples_.push_back(status_.host);
        if (hostSamples_.size() >= 5) flushStats();
    }
    publishStatus();
}

void DisplaySession::flushStats() {
    if (hostSamples_.empty()) return;
    bool problem = false;
    const auto line = reportLine(problem);
    if (problem) statsLog_.warning(line);
    else statsLog_.info(line);
}

std::string DisplaySession::reportLine(bool& problem) {
    const auto average = [](const auto& samples, auto value) {
        double sum = 0;
        for (const auto& s : samples) sum += static_cast<double>(value(s));
        return samples.empty() ? 0.0 : sum / static_cast<double>(samples.size());
    };
    const auto largest = [](const auto& samples, auto value) {
        double most = 0;
        for (const auto& s : samples) most = std::max(most, static_cast<double>(value(s)));
        return most;
    };
    // Counters are totals; the report shows what is new since the previous one.
    const auto since = [](std::int64_t now, std::int64_t& before) {
        const auto d = std::max<std::int64_t>(now - before, 0);
        before = now;
        return d;
    };

    const auto& host = hostSamples_;
    const auto n = static_cast<double>(host.size());
    const double captureFPS = average(host, [](const HostMetrics& s) { return s.captureFPS; });
    const auto& last = host.back();
    const auto captureDrops = since(last.droppedCaptureFrames, lastDrops_[0]);
    const auto sendDrops = since(last.droppedSendFrames, lastDrops_[1]);
    const auto skipped = since(last.skippedSendFrames, lastDrops_[2]);
    const auto target = pipeline_ ? pipeline_->config.bitrate
                                  : configuration_->applied().value_or(DisplayConfiguration{}).bitrate;
    std::string line = fmt::format(
        "[{}s] capture {:.0f}fps encode {:.0f}fps {:.1f}ms | {:.2f}Mbps target {:.1f}Mbps tier={} | frame avg {:.1f}KB "
        "max {:.1f}KB | dropped capture +{} send(congestion) +{} skipped +{} | cpu {:.1f}%",
        host.size(), captureFPS, average(host, [](const HostMetrics& s) { return s.encodeFPS; }),
        average(host, [](const HostMetrics& s) { return s.encodeTimeMs; }),
        average(host, [](const HostMetrics& s) { return s.bitrateKbps; }) / 1000, static_cast<double>(target) / 1e6,
        toText(configuration_->currentTier()), average(host, [](const HostMetrics& s) { return s.avgFrameKB; }),
        largest(host, [](const HostMetrics& s) { return s.maxFrameKB; }), captureDrops, sendDrops, skipped,
        average(host, [](const HostMetrics& s) { return s.cpuPercent; }));
    const auto tolerated = std::max<std::int64_t>(2, static_cast<std::int64_t>(captureFPS * n * 0.05));
    problem = captureDrops > tolerated || sendDrops >= 1;

    if (!linkSamples_.empty()) {
        const auto& link = linkSamples_.back();
        const double throughput = average(linkSamples_, [](const TransportMetrics& m) { return m.throughputMbps; });
        const auto queueKB = static_cast<std::int64_t>(
            largest(linkSamples_, [](const TransportMetrics& m) { return kib(m.sendQueueBytes); }));
        const auto reconnects = static_cast<std::int64_t>(
            largest(linkSamples_, [](const TransportMetrics& m) { return m.reconnects; }));
        if (link.kind == TransportKind::usb) {
            line += fmt::format(
                " | link usb dev={} throughput {:.1f}Mbps sendq max {}KB/{}f rxq {}KB reconnects {}", link.device,
                throughput, queueKB,
                static_cast<std::int64_t>(largest(linkSamples_, [](const TransportMetrics& m) { return m.sendQueueFrames; })),
                static_cast<std::int64_t>(
                    largest(linkSamples_, [](const TransportMetrics& m) { return kib(m.receiveQueueBytes); })),
                reconnects);
        } else {
            line += fmt::format(" | link wifi {} throughput {:.1f}Mbps sendq max {}KB reconnects {}", link.device,
                                throughput, queueKB, reconnects);
        }
    }

    if (!clientSamples_.empty()) {
        const auto& c = clientSamples_;
        const auto& newest = c.back();
        line += fmt::format(
            " || iPad dec {:.0f}fps {:.2f}ms latency {:.1f}ms (max {:.1f}ms) loss {:.1f}% (max {:.1f}%) rtt {:.1f}ms "
            "jitter {:.1f}ms dropped +{} skipped +{}",
            average(c, [](const ClientStats& s) { return s.decodeFPS; }),
            average(c, [](const ClientStats& s) { return s.decodeTimeMs; }),
            average(c, [](const ClientStats& s) { return s.latencyMs; }),
            largest(c, [](const ClientStats& s) { return s.latencyMaxMs.value_or(s.latencyMs); }),
            average(c, [](const ClientStats& s) { return s.packetLoss; }) * 100,
            largest(c, [](const ClientStats& s) { return s.packetLoss; }) * 100,
            average(c, [](const ClientStats& s) { return s.rttMs; }),
            average(c, [](const ClientStats& s) { return s.jitterMs.value_or(0); }),
            since(newest.droppedFrames, lastClientCounts_[0]), since(newest.skippedFrames.value_or(0), lastClientCounts_[1]));
    }

    if (!idrCounts_.empty()) {
        std::vector<std::pair<std::string, std::int64_t>> counts;
        for (const auto& [reason, count] : idrCounts_) counts.emplace_back(std::string(toText(reason)), count);
        std::sort(counts.begin(), counts.end());
        line += " | IDR requests:";
        for (const auto& [reason, count] : counts) line += fmt::format(" {}={}", reason, count);
        idrCounts_.clear();
    }

    if (const auto input = input_->takeStats()) line += " | " + *input;

    if (pipeline_ && pipeline_->refiner) {
        const auto [refinements, bytes, tiny] = pipeline_->refiner->takeStats();
        if (refinements > 0 || tiny > 0) {
            line += fmt::format(" | static refine {}x {}KB", refinements, (bytes + 1023) / 1024);
            if (tiny > 0) line += fmt::format(" (skipped {} tiny changes)", tiny);
        }
    }

    const auto audio = audioSender_->takeStats(n);
    if (audioSource_ || audio.packets > 0) {
        const auto format = audio.sampleRate && audio.channels
                                ? fmt::format("{}Hz/{}ch", *audio.sampleRate, *audio.channels)
                                : std::string("-");
        line += fmt::format(" | audio {} {:.0f}kbps pkts {}", format, audio.kbps, audio.packets);
        std::optional<AudioStats> heard;
        for (const auto& s : clientSamples_)
            if (s.audio) heard = s.audio;
        if (heard) {
            const auto underruns = since(heard->underruns, lastClientCounts_[2]);
            const auto lost = since(heard->lostPackets, lastClientCounts_[3]);
            const double trimmed = std::max(heard->trimmedMs - lastClientTrimmedMs_, 0.0);
            lastClientTrimmedMs_ = heard->trimmedMs;
            line += fmt::format(" || iPad audio buf {:.0f}ms latency {:.0f}ms underruns +{} lost +{}", heard->bufferMs,
                                heard->latencyMs, underruns, lost);
            if (trimmed > 0) line += fmt::format(" trimmed {:.0f}ms", trimmed);
            problem = problem || lost >= 1 || underruns > 2;
        }
    }

    if (captureFPS < 0.5) line += " | no captured frames (normal while the screen is still)";
    hostSamples_.clear();
    clientSamples_.clear();
    linkSamples_.clear();
    return line;
}

} // namespace kiv
