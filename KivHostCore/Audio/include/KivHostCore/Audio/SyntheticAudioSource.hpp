#pragma once
// A test tone instead of the system's sound: 10 ms stereo chunks of a sine at `frequency`, amplitude
// 1000, phase continuous across chunks; optionally failing to start.
#include <memory>

#include "KivHostCore/Platform/AudioSource.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class SyntheticAudioSource final : public AudioSource, public std::enable_shared_from_this<SyntheticAudioSource> {
public:
    static constexpr std::int64_t kSampleRate = 48'000;
    static constexpr std::int64_t kFramesPerChunk = 480;

    // `queue` is the source's own ("kiv.audio.synthetic"); chunks are delivered on it.
    static std::shared_ptr<SyntheticAudioSource> create(Executor& queue, double frequency, bool failStart = false);

    void start(Started started) override;
    void stop() override;

    SyntheticAudioSource(Executor& queue, double frequency, bool failStart); // use create()

private:
    void step();

    Executor& queue_;
    const double frequency_;
    const bool failStart_;
    // Queue-confined.
    ScopedTimer timer_;
    bool running_ = false;
    MonotonicTime nextTick_{};
    double phase_ = 0;
};

} // namespace kiv
