#pragma once
// Pipeline counters of one session, turned into per-second rates by sample(). Thread-safe:
// capture, encoder, sender and the report timer all count into it.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

struct HostMetrics {
    double captureFPS = 0;
    double encodeFPS = 0;
    double encodeTimeMs = 0;
    double bitrateKbps = 0;
    double avgFrameKB = 0;
    double maxFrameKB = 0;
    std::int64_t droppedCaptureFrames = 0;
    std::int64_t droppedSendFrames = 0;
    std::int64_t skippedSendFrames = 0;
    double cpuPercent = 0;
    bool operator==(const HostMetrics&) const = default;
};

enum class SendDropReason { congestion, awaitingKeyframe, superseded };
std::string_view toText(SendDropReason reason);

// Process CPU time (user + system) in microseconds; 0 when it cannot be read.
std::uint64_t processCPUTimeMicros();

class PerformanceMonitor {
public:
    // `clock` supplies host-clock microseconds (tests pass virtual time); `cpu` the process CPU time.
    using MicrosSource = std::uint64_t (*)();
    explicit PerformanceMonitor(Executor& clock, MicrosSource cpu = processCPUTimeMicros);

    void countCaptured();
    void countDroppedCapture();
    void countEncoded(std::uint64_t encodeTimeUs, std::int64_t bytes);
    void countDroppedSend(std::int64_t frames);
    void countSkippedSend(std::int64_t frames);
    void countSendDrop(SendDropReason reason, std::int64_t frames);

    std::int64_t droppedSendTotal() const;
    HostMetrics sample();

private:
    std::uint64_t nowMicros() const;

    const ExecutorHandle clock_; // read from every pipeline thread; held weakly
    MicrosSource cpu_;
    mutable std::mutex mutex_;
    std::int64_t captured_ = 0;
    std::int64_t encoded_ = 0;
    std::uint64_t encodeTimeUs_ = 0;
    std::int64_t bytes_ = 0;
    std::int64_t maxBytes_ = 0;
    std::int64_t droppedCapture_ = 0;
    std::int64_t droppedSend_ = 0;
    std::int64_t skippedSend_ = 0;
    std::uint64_t lastSample_;
    std::uint64_t lastCPU_;
};

} // namespace kiv
