#pragma once
// Statistics and status payloads exchanged in `stats` and `audioStatus` messages.
#include <cstdint>
#include <optional>
#include <string>

#include "KivProtocol/KivConstants.hpp"

namespace kiv {

struct TransportMetrics {
    TransportKind kind = TransportKind::wifi;
    std::string device;
    double throughputMbps = 0;
    std::int64_t sendQueueBytes = 0;
    std::int64_t sendQueueFrames = 0;
    std::int64_t receiveQueueBytes = 0;
    std::int64_t reconnects = 0;

    TransportMetrics() = default;
    TransportMetrics(TransportKind linkKind, std::string linkDevice) : kind(linkKind), device(std::move(linkDevice)) {}
    bool operator==(const TransportMetrics&) const = default;
};

struct AudioStats {
    std::int64_t packets = 0;
    std::int64_t lostPackets = 0;
    std::int64_t underruns = 0;
    double trimmedMs = 0;
    double bufferMs = 0;
    double latencyMs = 0;
    bool playing = false;
    bool operator==(const AudioStats&) const = default;
};

struct ClientStats {
    double receiveFPS = 0;
    double decodeFPS = 0;
    double renderFPS = 0;
    double decodeTimeMs = 0;
    double bitrateKbps = 0;
    double packetLoss = 0; // fraction 0...1
    std::int64_t droppedFrames = 0;
    std::optional<std::int64_t> skippedFrames;
    std::optional<TransportMetrics> link;
    std::optional<double> jitterMs;
    double latencyMs = 0;
    std::optional<double> latencyMaxMs;
    std::optional<std::int64_t> decodedWidth;
    std::optional<std::int64_t> decodedHeight;
    double rttMs = 0;
    std::optional<AudioStats> audio;
    bool operator==(const ClientStats&) const = default;
};

struct AudioStatus {
    bool streaming = false;
    bool hostMuted = false;
    std::int64_t sampleRate = 0;
    std::int64_t channels = 0;
    std::optional<std::string> note; // RemoteText form
    bool operator==(const AudioStatus&) const = default;
};

} // namespace kiv
