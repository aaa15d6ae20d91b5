#pragma once
// The host's sound from PulseAudio: records the monitor of the default sink (the "KivDisplay"
// sink while the device alone plays the sound) and follows it when the default changes. Records at
// the requested rate and channel count in the source's own sample format when that is s16 or
// float32, in fragments of about 10 ms; chunks are delivered on the "kiv.audio.capture" thread.
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Audio/AudioSource.hpp"

namespace kiv {

class SystemAudioCapture final : public AudioSource, public std::enable_shared_from_this<SystemAudioCapture> {
public:
    struct Options {
        std::optional<std::string> server; // as in PULSE_SERVER; the environment's choice when absent
        std::optional<std::string> source; // record this source instead of following the default sink
    };

    static std::shared_ptr<SystemAudioCapture> create(std::int64_t sampleRate, std::int64_t channels, Options options = {});
    ~SystemAudioCapture() override;

    // `started` runs on the capture thread, or inline when the connection cannot even be tried.
    // Neither it nor the handlers may call stop().
    void start(Started started) override;
    void stop() override;

    // The source being recorded now (empty before the first stream is up).
    std::string currentSource() const;

    struct Impl;
    explicit SystemAudioCapture(std::unique_ptr<Impl> impl); // use create()

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
