#include "KivHostCore/Metrics/PerformanceMonitor.hpp"

#include <sys/resource.h>

#include <algorithm>

namespace kiv {

std::string_view toText(SendDropReason reason) {
    switch (reason) {
    case SendDropReason::congestion: return "congestion";
    case SendDropReason::awaitingKeyframe: return "awaitingKeyframe";
    case SendDropReason::superseded: return "superseded";
    }
    return "?";
}

std::uint64_t processCPUTimeMicros() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    const auto micros = [](const timeval& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(t.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

PerformanceMonitor::PerformanceMonitor(Executor& clock, MicrosSource cpu)
    : clock_(clock.handle()), cpu_(cpu), lastSample_(nowMicros()), lastCPU_(cpu_()) {}

std::uint64_t PerformanceMonitor::nowMicros() const {
    return static_cast<std::uint64_t>(clock_.now().value_or(MonotonicTime{}).count());
}

void PerformanceMonitor::countCaptured() {
    const std::lock_guard lock(mutex_);
    ++captured_;
}

void PerformanceMonitor::countDroppedCapture() {
    const std::lock_guard lock(mutex_);
    ++droppedCapture_;
}

void PerformanceMonitor::countEncoded(std::uint64_t encodeTimeUs, std::int64_t bytes) {
    const std::lock_guard lock(mutex_);
    ++encoded_;
    encodeTimeUs_ += encodeTimeUs;
    bytes_ += bytes;
    maxBytes_ = std::max(maxBytes_, bytes);
}

void PerformanceMonitor::countDroppedSend(std::int64_t frames) {
    const std::lock_guard lock(mutex_);
    droppedSend_ += frames;
}

void PerformanceMonitor::countSkippedSend(std::int64_t frames) {
    const std::lock_guard lock(mutex_);
    skippedSend_ += frames;
}

void PerformanceMonitor::countSendDrop(SendDropReason reason, std::int64_t frames) {
    if (reason == SendDropReason::congestion) {
        countDroppedSend(frames);
    } else {
        countSkippedSend(frames);
    }
}

std::int64_t PerformanceMonitor::droppedSendTotal() const {
    const std::lock_guard lock(mutex_);
    return droppedSend_;
}

HostMetrics PerformanceMonitor::sample() {
    const std::lock_guard lock(mutex_);
    const std::uint64_t now = nowMicros();
    const std::uint64_t cpu = cpu_();
    // A clock that went backwards would wrap; treat it as no time passed.
    const std::uint64_t elapsedUs = std::max<std::uint64_t>(now > lastSample_ ? now - lastSample_ : 0, 1);
    const double elapsed = static_cast<double>(elapsedUs) / 1'000'000.0;
    const std::uint64_t cpuUsed = cpu > lastCPU_ ? cpu - lastCPU_ : 0;

    HostMetrics metrics;
    metrics.captureFPS = static_cast<double>(captured_) / elapsed;
    metrics.encodeFPS = static_cast<double>(encoded_) / elapsed;
    metrics.encodeTimeMs =
        encoded_ > 0 ? static_cast<double>(encodeTimeUs_) / static_cast<double>(encoded_) / 1000.0 : 0;
    metrics.bitrateKbps = static_cast<double>(bytes_) * 8.0 / elapsed / 1000.0;
    metrics.avgFrameKB = encoded_ > 0 ? static_cast<double>(bytes_) / static_cast<double>(encoded_) / 1024.0 : 0;
    metrics.maxFrameKB = static_cast<double>(maxBytes_) / 1024.0;
    metrics.droppedCaptureFrames = droppedCapture_;
    metrics.droppedSendFrames = droppedSend_;
    metrics.skippedSendFrames = skippedSend_;
    metrics.cpuPercent = static_cast<double>(cpuUsed) / static_cast<double>(elapsedUs) * 100.0;

    captured_ = encoded_ = bytes_ = maxBytes_ = 0;
    encodeTimeUs_ = 0;
    lastSample_ = now;
    lastCPU_ = cpu;
    return metrics;
}

} // namespace kiv
