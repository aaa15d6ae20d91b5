#include "KivHostCore/Audio/SyntheticAudioSource.hpp"

#include <chrono>
#include <cmath>
#include <cstring>
#include <numbers>

namespace kiv {

namespace {
constexpr Duration kChunkInterval = std::chrono::milliseconds(10);
}

std::shared_ptr<SyntheticAudioSource> SyntheticAudioSource::create(Executor& queue, double frequency, bool failStart) {
    return std::make_shared<SyntheticAudioSource>(queue, frequency, failStart);
}

SyntheticAudioSource::SyntheticAudioSource(Executor& queue, double frequency, bool failStart)
    : queue_(queue), frequency_(std::isfinite(frequency) ? frequency : 0.0), failStart_(failStart) {}

void SyntheticAudioSource::start(Started started) {
    if (failStart_) {
        if (started) started(std::unexpected(AudioCaptureError::startFailed("simulated failure")));
        return;
    }
    queue_.post([weak = weak_from_this(), started = std::move(started)] {
        auto self = weak.lock();
        if (!self) return;
        self->running_ = true;
        self->nextTick_ = self->queue_.now();
        if (started) started({});
        self->step(); // the first chunk is due at once
    });
}

void SyntheticAudioSource::stop() {
    queue_.sync([this] {
        running_ = false;
        timer_.cancel();
    });
}

void SyntheticAudioSource::step() {
    if (!running_) return;
    // A strict cadence: each deadline follows the previous one, not the moment the work ran.
    nextTick_ += kChunkInterval;
    timer_ = queue_.postAfter(nextTick_ - queue_.now(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->step();
    });
    AudioChunk chunk;
    chunk.pcm.resize(kFramesPerChunk * 4);
    chunk.channels = 2;
    chunk.sampleRate = kSampleRate;
    const double increment = frequency_ * 2.0 * std::numbers::pi / static_cast<double>(kSampleRate);
    auto* out = chunk.pcm.data();
    for (std::int64_t f = 0; f < kFramesPerChunk; ++f) {
        const auto sample = static_cast<std::int16_t>(std::sin(phase_) * 1000.0);
        std::memcpy(out + f * 4, &sample, 2);
        std::memcpy(out + f * 4 + 2, &sample, 2);
        phase_ += increment;
    }
    phase_ = std::fmod(phase_, 2.0 * std::numbers::pi);
    chunk.captureTimeUs = static_cast<std::uint64_t>(queue_.now().count());
    if (onChunk) onChunk(std::move(chunk));
}

} // namespace kiv
