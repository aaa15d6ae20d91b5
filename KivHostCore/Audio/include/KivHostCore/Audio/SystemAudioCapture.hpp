#pragma once
// The host's system sound as 16-bit stereo chunks: whatever layout the recorder delivers is
// converted in one pass; the input format is logged once per start.
#include <memory>
#include <mutex>

#include "KivHostCore/Platform/AudioRecorder.hpp"
#include "KivHostCore/Platform/AudioSource.hpp"

namespace kiv {

class SystemAudioCapture final : public AudioSource, public std::enable_shared_from_this<SystemAudioCapture> {
public:
    static std::shared_ptr<SystemAudioCapture> create(std::shared_ptr<AudioRecorder> recorder,
                                                      std::int64_t sampleRate = 48'000, std::int64_t channels = 2);
    ~SystemAudioCapture() override;

    // `started`, onChunk and onStop run on the recorder's thread; none of them may call stop().
    void start(Started started) override;
    void stop() override;

    SystemAudioCapture(std::shared_ptr<AudioRecorder> recorder, std::int64_t sampleRate,
                       std::int64_t channels); // use create()

private:
    const std::shared_ptr<AudioRecorder> recorder_;
    const std::int64_t sampleRate_;
    const std::int64_t channels_;
    std::mutex mutex_;
    std::uint64_t run_ = 0; // reports of an earlier run are ignored
    bool streaming_ = false;
    bool loggedFormat_ = false;
};

} // namespace kiv
