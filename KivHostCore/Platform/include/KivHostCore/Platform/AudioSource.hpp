#pragma once
// Where the host's sound comes from: the system's output (captured) or a test tone. Chunks are
// 16-bit little-endian interleaved PCM.
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

struct AudioChunk {
    std::vector<std::uint8_t> pcm; // s16le, frame-major
    std::int64_t channels = 2;
    std::int64_t sampleRate = 48'000;
    std::uint64_t captureTimeUs = 0; // first frame, host clock
    bool operator==(const AudioChunk&) const = default;
};

struct AudioCaptureError {
    enum class Kind { startFailed, permissionDenied, noDisplay };
    Kind kind = Kind::startFailed;
    std::string message; // startFailed only

    static AudioCaptureError startFailed(std::string why) { return {Kind::startFailed, std::move(why)}; }
    static AudioCaptureError permissionDenied() { return {Kind::permissionDenied, {}}; }
    static AudioCaptureError noDisplay() { return {Kind::noDisplay, {}}; }
    // The remote text the device turns into a sentence.
    std::string description() const;
    bool operator==(const AudioCaptureError&) const = default;
};

class AudioSource {
public:
    using Started = std::function<void(std::expected<void, AudioCaptureError>)>;
    virtual ~AudioSource() = default;
    // Set before start. onChunk runs on the source's queue and must return quickly.
    std::function<void(AudioChunk)> onChunk;
    // The source stopped by itself (not after stop()); the error text when there is one.
    std::function<void(std::optional<std::string> error)> onStop;

    // Reports the outcome through `started` (on the source's queue, or inline on an early failure).
    virtual void start(Started started) = 0;
    // No chunk is delivered after stop returns.
    virtual void stop() = 0;
};

} // namespace kiv
