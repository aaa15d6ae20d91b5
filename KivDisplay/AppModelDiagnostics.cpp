// The text behind "Copy Diagnostics": what a bug report needs in a dozen lines, then the log of
// this run and the end of the previous one's.
#include <ctime>
#include <fmt/format.h>

#include "AppModel.hpp"

namespace kiv::app {

namespace {

std::string serviceState(const HostStatus::Service& service) {
    switch (service.kind) {
    case HostStatus::Service::Kind::waitingForApproval: return "waitingForApproval(" + service.text + ")";
    case HostStatus::Service::Kind::error: return "error(" + service.text + ")";
    case HostStatus::Service::Kind::stopped: return "stopped";
    case HostStatus::Service::Kind::listening: return "listening";
    case HostStatus::Service::Kind::streaming: return "streaming";
    case HostStatus::Service::Kind::paused: return "paused";
    }
    return "?";
}

std::string joined(const std::vector<std::string>& parts, const char* empty) {
    if (parts.empty()) return empty;
    std::string out;
    for (const auto& part : parts)
        out += (out.empty() ? "" : ",") + part;
    return out;
}

std::string applyState(const ApplyState& state) {
    switch (state.kind) {
    case ApplyState::Kind::idle: return "idle";
    case ApplyState::Kind::applying: return "applying " + state.message;
    case ApplyState::Kind::succeeded: return "ok " + state.message;
    case ApplyState::Kind::failed: return "failed " + state.message;
    }
    return "?";
}

} // namespace

std::string AppModel::diagnosticsSummary() const {
    const auto& s = status_;
    std::vector<std::string> usb;
    for (const auto& device : hostStatus_.usbDevices)
        usb.push_back(device.device.shortID());
    const auto settings = currentSettings();
    std::string out;
    out += "[Host] KivDisplay " + env_.version + " | " + env_.systemName + " " + env_.model + "\n";
    out += "service: " + serviceState(hostService_) +
           " | screen recording: " + (screenCaptureGranted() ? "granted" : "missing") +
           " | IP: " + joined(hostStatus_.hostAddresses, "none") + "\n";
    out += (s.clientName ? "device: " + *s.clientName + " @ " + s.clientAddress.value_or("-") +
                               " | transport=" + (s.transport ? title(*s.transport) : std::string("-")) +
                               " | displayID=" + (s.displayID ? std::to_string(*s.displayID) : std::string("-"))
                         : std::string("device: none")) +
           " | devices: " + joined(usb, "none") + "\n";
    out += fmt::format("settings: {} / {} / {} FPS / refine {} | grace {:.0f}s | paired {} | config: {}\n",
                       title(settings.displaySize), title(settings.quality), settings.fps,
                       settings.staticRefinement ? "on" : "off", settings_.graceSeconds,
                       pairing_->pairedDevices().size(), applyState(s.configState));
    out += "configuration: " + (s.configuration ? s.configuration->text() : std::string("off (no device)")) +
           " | accessibility " + (accessibilityGranted_ ? "granted" : "missing") + " | appearance " +
           std::string(toText(appearance_)) + "\n";
    out += "audio: " + std::string(toText(settings.audio)) + " " +
           (s.audio && s.audio->streaming
                ? fmt::format("streaming {:.0f}kHz ", static_cast<double>(s.audio->sampleRate) / 1000.0)
                : std::string("idle")) +
           (s.audio && s.audio->hostMuted ? " | host muted" : "") + "\n";
    const auto& h = s.host;
    const double targetMbps = s.configuration ? static_cast<double>(s.configuration->bitrate) / 1e6 : 0;
    out +=
        fmt::format("host perf: capture {:.0f}fps encode {:.0f}fps {:.1f}ms | {:.2f}Mbps (target {:.1f}Mbps) | frame "
                    "avg {:.1f}KB max "
                    "{:.1f}KB | dropped capture {} send {} | CPU {:.1f}%\n",
                    h.captureFPS, h.encodeFPS, h.encodeTimeMs, h.bitrateKbps / 1000, targetMbps, h.avgFrameKB,
                    h.maxFrameKB, h.droppedCaptureFrames, h.droppedSendFrames, h.cpuPercent);
    const auto link = s.link.value_or(TransportMetrics{});
    out += fmt::format(
        "link: transport={} device={} | {:.1f}Mbps | tx queue {}KB/{} frames | rx queue {}KB | links/switches {}\n",
        s.transport ? title(*s.transport) : std::string("-"), link.device.empty() ? "-" : link.device,
        link.throughputMbps, link.sendQueueBytes / 1024, link.sendQueueFrames, link.receiveQueueBytes / 1024,
        link.reconnects);
    const auto c = s.client.value_or(ClientStats{});
    out += fmt::format("device report: recv {:.0f}fps decode {:.0f}fps {:.2f}ms render {:.0f}fps | latency {:.1f}ms | "
                       "RTT {:.1f}ms jitter "
                       "{:.1f}ms | {:.2f}Mbps | loss {:.1f}% | dropped {} (skipped {})",
                       c.receiveFPS, c.decodeFPS, c.decodeTimeMs, c.renderFPS, c.latencyMs, c.rttMs,
                       c.jitterMs.value_or(0), c.bitrateKbps / 1000, c.packetLoss * 100, c.droppedFrames,
                       c.skippedFrames.value_or(0));
    return out;
}

std::string AppModel::diagnosticsReport() const {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    auto& store = KivLogStore::shared();
    std::string out =
        fmt::format("===== KivDisplay diagnostics {:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z =====\n{}\n", utc.tm_year + 1900,
                    utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, diagnosticsSummary());
    out += "===== Log (this run) =====\n" + store.text(LogLevel::debug);
    if (const auto previous = store.previousSessionTail(300))
        out += "\n===== Log (previous run, last 300 lines) =====\n" + *previous;
    return out;
}

} // namespace kiv::app
