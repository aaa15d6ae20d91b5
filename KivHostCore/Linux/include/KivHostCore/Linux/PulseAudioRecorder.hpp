#pragma once
// System sound from PulseAudio: records the monitor of the default sink (the "KivDisplay" sink
// while the device alone plays the sound) and follows it when the default changes. Records at the
// requested rate and channel count in the source's own sample format when that is s16 or float32,
// in fragments of about 10 ms, on the "kiv.audio.capture" thread.
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/AudioRecorder.hpp"

namespace kiv {

class PulseAudioRecorder final : public AudioRecorder {
public:
    struct Options {
        std::optional<std::string> server; // as in PULSE_SERVER; the environment's choice when absent
        std::optional<std::string> source; // record this source instead of following the default sink
    };

    static std::shared_ptr<PulseAudioRecorder> create(Options options = {});
    ~PulseAudioRecorder() override;

    void start(std::int64_t sampleRate, std::int64_t channels, AudioRecorderHandlers handlers) override;
    void stop() override;

    // The source being recorded now (empty while none is).
    std::string currentSource() const;

    struct Impl;
    explicit PulseAudioRecorder(std::unique_ptr<Impl> impl); // use create()

private:
    std::shared_ptr<Impl> impl_; // shared: a callback running when the recorder goes keeps it
};

} // namespace kiv
