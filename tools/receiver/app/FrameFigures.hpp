#pragma once
// A run's frame figures: counts, the per-second decode rate and time, and latency and decode-time
// percentiles. Times go into 0.1 ms buckets, so a run of days holds as little as a run of seconds.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kiv::receiver {

// Milliseconds from 0 to 2 s in 0.1 ms steps; what lies beyond counts in the last step.
class TimeHistogram {
public:
    static constexpr double kStepMs = 0.1;
    static constexpr std::size_t kSteps = 20'000;

    void add(double ms) {
        const double step = std::isfinite(ms) ? std::clamp(ms / kStepMs, 0.0, double(kSteps - 1)) : double(kSteps - 1);
        ++counts_[static_cast<std::size_t>(step)];
        ++total_;
    }
    std::uint64_t count() const { return total_; }
    // The value at rank round(p·(n−1)) of the sorted samples, to the step; 0 without samples.
    double percentile(double p) const {
        if (total_ == 0) return 0;
        const auto rank = static_cast<std::uint64_t>(std::clamp(p, 0.0, 1.0) * double(total_ - 1) + 0.5);
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kSteps; ++i) {
            seen += counts_[i];
            if (seen > rank) return (double(i) + 0.5) * kStepMs;
        }
        return double(kSteps) * kStepMs;
    }

private:
    std::vector<std::uint32_t> counts_ = std::vector<std::uint32_t>(kSteps);
    std::uint64_t total_ = 0;
};

class FrameFigures {
public:
    void frameFailed(bool keyframe) {
        note(keyframe);
        ++failures_;
    }
    void frameDecoded(bool keyframe, double decodeMs, std::pair<int, int> size, std::optional<double> latencyMs) {
        note(keyframe);
        ++decoded_;
        decode_.add(decodeMs);
        intervalDecodeMs_ += decodeMs;
        ++intervalDecodes_;
        size_ = size;
        if (latencyMs) {
            latency_.add(*latencyMs);
            lastLatencyMs_ = *latencyMs;
        }
    }
    // Pictures decoded and their mean decode time since the last call.
    std::pair<std::int64_t, double> takeInterval() {
        const auto decoded = decoded_ - lastDecoded_;
        const double mean = intervalDecodes_ > 0 ? intervalDecodeMs_ / double(intervalDecodes_) : 0;
        lastDecoded_ = decoded_;
        intervalDecodeMs_ = 0;
        intervalDecodes_ = 0;
        return {decoded, mean};
    }

    std::int64_t frames() const { return frames_; }
    std::int64_t keyframes() const { return keyframes_; }
    std::int64_t decoded() const { return decoded_; }
    std::int64_t failures() const { return failures_; }
    const std::optional<std::pair<int, int>>& size() const { return size_; }
    const std::optional<double>& lastLatencyMs() const { return lastLatencyMs_; }
    const TimeHistogram& latency() const { return latency_; }
    const TimeHistogram& decodeTime() const { return decode_; }

private:
    void note(bool keyframe) {
        ++frames_;
        keyframes_ += keyframe;
    }

    std::int64_t frames_ = 0;
    std::int64_t keyframes_ = 0;
    std::int64_t decoded_ = 0;
    std::int64_t failures_ = 0;
    std::optional<std::pair<int, int>> size_;
    std::optional<double> lastLatencyMs_;
    TimeHistogram latency_;
    TimeHistogram decode_;
    std::int64_t lastDecoded_ = 0;
    double intervalDecodeMs_ = 0;
    std::int64_t intervalDecodes_ = 0;
};

} // namespace kiv::receiver
