#pragma once
// Records the host's system sound for SystemAudioCapture: buffers in the source's own layout, which
// the capture converts. Handlers run on the recorder's own thread ("kiv.audio.capture").
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>

#include "KivHostCore/Platform/AudioSource.hpp"

namespace kiv {

// The layout of the buffers a recorder delivers.
struct AudioBufferFormat {
    double sampleRate = 0;
    bool isFloat = false;
    bool isNonInterleaved = false; // planar: one buffer per channel
    std::int64_t channelsPerFrame = 0;
    std::int64_t bitsPerChannel = 0;
};

// Why a recording that had started ended by itself.
struct AudioRecorderStop {
    std::string description;
    std::string domain; // the service whose error code `code` is
    std::int64_t code = 0;
};

struct AudioRecorderHandlers {
    // Once per start: the recording is up (naming what it records) or could not start.
    std::function<void(std::expected<std::string, AudioCaptureError>)> started;
    // One buffer: a single interleaved buffer, or one per channel.
    std::function<void(const AudioBufferFormat& format, std::span<const std::span<const std::uint8_t>> buffers,
                       std::int64_t frames, std::uint64_t captureTimeUs)>
        buffer;
    std::function<void(const AudioRecorderStop&)> stopped;
};

class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;
    // Stops a previous recording first.
    virtual void start(std::int64_t sampleRate, std::int64_t channels, AudioRecorderHandlers handlers) = 0;
    // No handler runs once this returns. Never call it from a handler.
    virtual void stop() = 0;
};

} // namespace kiv
