// What a run reports: the statistics sent to the host every second, the overlay's lines, the link
// notice and the closing summary.
#include <algorithm>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "KivProtocol/HostClock.hpp"
#include "ReceiverSession.hpp"

namespace kiv::receiver {

ClientStats ReceiverSession::wifiInterval(const ReceiverStats& now, const ReceiverStats& before) {
    const bool restarted = now.framesReceived < before.framesReceived || now.bytesReceived < before.bytesReceived ||
                           now.packetsExpected < before.packetsExpected || now.packetsReceived < before.packetsReceived;
    const ReceiverStats from = restarted ? ReceiverStats{} : before;
    ClientStats stats;
    stats.receiveFPS = static_cast<double>(now.framesReceived - from.framesReceived);
    stats.bitrateKbps = static_cast<double>(now.bytesReceived - from.bytesReceived) * 8 / 1000;
    const auto expected = static_cast<double>(now.packetsExpected - from.packetsExpected);
    const auto got = static_cast<double>(now.packetsReceived - from.packetsReceived);
    stats.packetLoss = expected > 0 ? std::clamp((expected - got) / expected, 0.0, 1.0) : 0;
    stats.droppedFrames = now.framesLost;
    stats.rttMs = now.rttUs ? static_cast<double>(*now.rttUs) / 1000.0 : 0;
    return stats;
}

void ReceiverSession::tick() {
    const auto client = current();
    const auto now = client ? client->stats() : ReceiverStats{};
    ClientStats stats;
    bool overUsb = false;
    {
        const std::lock_guard lock(mutex_);
        overUsb = usbActive_;
        if (overUsb) {
            stats.receiveFPS = static_cast<double>(usbFrames_ - lastUsbFrames_);
            stats.bitrateKbps = static_cast<double>(usbBytes_ - lastUsbBytes_) * 8 / 1000;
            const auto rtt = usbClock_.rttUs();
            stats.rttMs = rtt ? static_cast<double>(*rtt) / 1000.0 : 0;
        } else {
            stats = wifiInterval(now, lastStats_);
        }
        const auto [decoded, decodeMs] = figures_.takeInterval();
        stats.decodeFPS = static_cast<double>(decoded);
        stats.renderFPS = stats.decodeFPS;
        stats.decodeTimeMs = decodeMs;
        stats.skippedFrames = figures_.failures();
        stats.latencyMs = figures_.lastLatencyMs().value_or(now.lastLatencyMs);
        stats.latencyMaxMs = now.maxLatencyMs;
        if (const auto& size = figures_.size()) {
            stats.decodedWidth = size->first;
            stats.decodedHeight = size->second;
        }
        if (player_) {
            if (const auto heard = player_->stats(); heard.packets > 0) stats.audio = heard;
        }
        lastStats_ = now;
        lastUsbFrames_ = usbFrames_;
        lastUsbBytes_ = usbBytes_;
        if (!connect_) return;
        lastStatsLine_ = fmt::format(
            "{:.0f} fps decoded, {:.2f} ms decode, {:.1f} ms latency, loss {:.1f}%, rtt {:.1f} ms, {:.2f} Mbit/s",
            stats.decodeFPS, stats.decodeTimeMs, stats.latencyMs, stats.packetLoss * 100, stats.rttMs,
            stats.bitrateKbps / 1000);
    }
    // The Wi-Fi client pings on its own; over USB the clock is synced from here.
    if (overUsb) sendControl({PingInfo{HostClock::nowMicros()}});
    sendControl({stats});
    if (options_.printStats) {
        const std::lock_guard lock(mutex_);
        say(lastStatsLine_);
    }
}

std::vector<std::string> ReceiverSession::overlayLines() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    if (connect_)
        lines.push_back(fmt::format("{} via {} · session {} · {}×{}@{}", connect_->hostName,
                                    usbActive_ ? "USB" : "Wi-Fi", connect_->sessionID, connect_->mode.width,
                                    connect_->mode.height, connect_->mode.fps));
    if (!lastStatsLine_.empty()) lines.push_back(lastStatsLine_);
    if (const auto& size = figures_.size())
        lines.push_back(fmt::format("picture {}×{}, {} frames, {} keyframes, {} not decoded", size->first, size->second,
                                    figures_.frames(), figures_.keyframes(), figures_.failures()));
    if (hostInfo_)
        lines.push_back(fmt::format("host {} ({}) at {} port {}", hostInfo_->hostName, hostInfo_->hostID,
                                    hostInfo_->addresses.empty() ? std::string("-") : hostInfo_->addresses.front(),
                                    hostInfo_->controlPort));
    if (audioStatus_)
        lines.push_back(fmt::format(
            "sound: {}{}{}",
            audioStatus_->streaming
                ? fmt::format("streaming {} Hz × {}", audioStatus_->sampleRate, audioStatus_->channels)
                : "off",
            audioStatus_->hostMuted ? ", host muted" : "", audioStatus_->note ? " · " + *audioStatus_->note : ""));
    if (player_ && audioStatus_ && audioStatus_->streaming) {
        const auto heard = player_->stats();
        lines.push_back(
            fmt::format("sound here: buffer {:.0f} ms, latency {:.0f} ms, {} underruns, {} lost, {:.0f} ms trimmed",
                        heard.bufferMs, heard.latencyMs, heard.underruns, heard.lostPackets, heard.trimmedMs));
    }
    if (inputStatus_)
        lines.push_back(std::string("touch: ") + (inputStatus_->enabled ? "on" : "off") +
                        (inputStatus_->reason ? " · " + *inputStatus_->reason : ""));
    return lines;
}

std::string ReceiverSession::linkNotice() const {
    const std::lock_guard lock(mutex_);
    if (lost_ || reconnecting_) return "Connection lost; reconnecting…";
    if (!connect_ && awaitingApproval_) return *awaitingApproval_; // the host's user is being asked
    if (!connect_) return options_.wifi ? "Connecting to " + address() + "…" : "Waiting for the host on USB…";
    if (noVideo_ && !usbActive_) return *noVideo_;
    return {};
}

namespace {

// No figure (null) rather than 0 ms when nothing was measured: frames that all came before the
// clocks were synchronised have no latency.
nlohmann::json percentile(const TimeHistogram& histogram, double p) {
    return histogram.count() > 0 ? nlohmann::json(histogram.percentile(p)) : nlohmann::json(nullptr);
}

} // namespace

std::string ReceiverSession::summaryJSON() const {
    const std::lock_guard lock(mutex_);
    const auto stats = client_ ? client_->stats() : ReceiverStats{};
    nlohmann::json json{
        {"frames", figures_.frames()},
        {"keyframes", figures_.keyframes()},
        {"decoded", figures_.decoded()},
        {"framesLost", stats.framesLost},
        {"packetLoss", stats.packetsExpected > 0 ? static_cast<double>(stats.packetsExpected - stats.packetsReceived) /
                                                       static_cast<double>(stats.packetsExpected)
                                                 : 0.0},
        {"latencyP50Ms", percentile(figures_.latency(), 0.5)},
        {"latencyP95Ms", percentile(figures_.latency(), 0.95)},
        {"decodeP50Ms", percentile(figures_.decodeTime(), 0.5)},
        {"decodeP95Ms", percentile(figures_.decodeTime(), 0.95)},
    };
    if (const auto& size = figures_.size()) json["size"] = fmt::format("{}x{}", size->first, size->second);
    if (player_) {
        const auto heard = player_->stats();
        json["audio"] = {{"packets", heard.packets},
                         {"lost", heard.lostPackets},
                         {"underruns", heard.underruns},
                         {"trimmedMs", heard.trimmedMs}};
    }
    return json.dump();
}

} // namespace kiv::receiver
