#pragma once
// Plays the host's sound items through SDL audio behind a small jitter buffer: playback starts once
// 35 ms are queued, the queue is trimmed back to that when it grows past 90 ms (the latency would
// otherwise only grow), and an empty queue is an underrun that waits for 35 ms again. Sequence
// gaps count as lost packets. push() from any one thread; stats() from any thread.
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KivProtocol/Stats.hpp"
#include "KivProtocol/StreamFraming.hpp"

namespace kiv::receiver {

class AudioPlayer {
public:
    static constexpr double kTargetMs = 35;
    static constexpr double kTrimAboveMs = 90;

    // Opens the default output (SDL_AUDIODRIVER chooses; "dummy" plays into nothing).
    static std::expected<std::unique_ptr<AudioPlayer>, std::string> open();
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    void push(const StreamAudioPacket& packet);
    // Totals since open (packets, lost, underruns, trimmed) and the queue now.
    AudioStats stats() const;

    // The queue logic without a device, for tests: `pull` takes what the device would.
    AudioPlayer();
    void pull(std::int16_t* out, std::size_t samples);

private:
    double queuedMs() const; // under mutex_

    mutable std::mutex mutex_;
    std::deque<std::int16_t> queue_; // interleaved stereo, 48 kHz
    bool playing_ = false;
    std::optional<std::uint32_t> nextSequence_;
    AudioStats stats_;
    std::uint32_t device_ = 0; // SDL_AudioDeviceID
};

} // namespace kiv::receiver
