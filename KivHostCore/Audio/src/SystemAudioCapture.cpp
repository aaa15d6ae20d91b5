#include "KivHostCore/Audio/SystemAudioCapture.hpp"

#include <fmt/format.h>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/AudioConversion.hpp"

namespace kiv {

namespace {
const KivLogger& logger() {
    static const KivLogger log = KivLog::logger("Audio");
    return log;
}
} // namespace

std::shared_ptr<SystemAudioCapture> SystemAudioCapture::create(std::shared_ptr<AudioRecorder> recorder,
                                                               std::int64_t sampleRate, std::int64_t channels) {
    return std::make_shared<SystemAudioCapture>(std::move(recorder), sampleRate, channels);
}

SystemAudioCapture::SystemAudioCapture(std::shared_ptr<AudioRecorder> recorder, std::int64_t sampleRate,
                                       std::int64_t channels)
    : recorder_(std::move(recorder)), sampleRate_(sampleRate), channels_(channels) {}

SystemAudioCapture::~SystemAudioCapture() {
    stop();
}

void SystemAudioCapture::start(Started started) {
    stop();
    std::uint64_t run = 0;
    {
        const std::lock_guard lock(mutex_);
        loggedFormat_ = false;
        run = ++run_;
    }
    AudioRecorderHandlers handlers;
    handlers.started = [weak = weak_from_this(), run,
                        started = std::move(started)](std::expected<std::string, AudioCaptureError> outcome) {
        auto self = weak.lock();
        if (!self) return;
        if (outcome) {
            {
                const std::lock_guard lock(self->mutex_);
                if (run != self->run_) return;
                self->streaming_ = true;
            }
            logger().info(fmt::format("System audio capture started {}Hz {}ch (source {})", self->sampleRate_,
                                      self->channels_, *outcome));
        }
        if (!started) return;
        if (outcome) {
            started({});
        } else {
            started(std::unexpected(std::move(outcome.error())));
        }
    };
    handlers.buffer = [weak = weak_from_this(), run](const AudioBufferFormat& format,
                                                     std::span<const std::span<const std::uint8_t>> buffers,
                                                     std::int64_t frames, std::uint64_t captureTimeUs) {
        auto self = weak.lock();
        if (!self || !self->onChunk) return;
        auto chunk = convertAudioBuffer(format, buffers, frames, captureTimeUs);
        if (!chunk) return; // formats we cannot read are skipped without a word
        bool first = false;
        {
            const std::lock_guard lock(self->mutex_);
            if (run != self->run_) return;
            first = !self->loggedFormat_;
            self->loggedFormat_ = true;
        }
        if (first) logger().info("System audio format: " + describeAudioFormat(format, frames));
        self->onChunk(std::move(*chunk));
    };
    handlers.stopped = [weak = weak_from_this(), run](const AudioRecorderStop& why) {
        auto self = weak.lock();
        if (!self) return;
        {
            const std::lock_guard lock(self->mutex_);
            if (run != self->run_ || !self->streaming_) return;
            self->streaming_ = false;
        }
        logger().info(fmt::format("System audio stream stopped: {} [{} {}]", why.description, why.domain, why.code));
        if (self->onStop) self->onStop(why.description);
    };
    recorder_->start(sampleRate_, channels_, std::move(handlers));
}

void SystemAudioCapture::stop() {
    bool hadStream = false;
    {
        const std::lock_guard lock(mutex_);
        hadStream = streaming_;
        streaming_ = false;
        ++run_;
    }
    recorder_->stop();
    if (hadStream) logger().info("System audio capture stopped");
}

} // namespace kiv
