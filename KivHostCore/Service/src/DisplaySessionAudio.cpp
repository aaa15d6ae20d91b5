// The session's sound: whether the host's sound is captured and sent to the device, whether the
// host's own output is silenced meanwhile, how failures are retried, and what the device is told.
#include <fmt/format.h>

#include "KivHostCore/Audio/SyntheticAudioSource.hpp"
#include "KivHostCore/Audio/SystemAudioCapture.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"
#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

namespace {

constexpr std::int64_t kAudioRate = 48'000;
constexpr std::int64_t kAudioChannels = 2;

} // namespace

bool DisplaySession::wantsAudio() const {
    return configuration_->settings().audio != AudioRoute::host && active_ && active_->streaming && !active_->paused;
}

void DisplaySession::updateAudio(bool forceSend) {
    std::weak_ptr<DisplaySession> weak = weak_from_this();
    const auto republish = [weak](const MuteCoordinator::State&) {
        if (auto self = weak.lock()) self->publishAudioStatus(false);
    };
    if (wantsAudio() && !isStopped_) {
        if (!audioSource_ && !audioRetryTask_.isPending() && !audioGaveUp_) startAudio();
        const bool silenceHost = configuration_->settings().audio == AudioRoute::device && !audioError_;
        if (muter_) muter_->set(this, silenceHost, republish);
    } else {
        if (audioSource_ || audioRetryTask_.isPending()) stopAudio();
        if (muter_) muter_->set(this, false, republish);
        audioError_.reset();
        audioRetries_ = 0;
        audioGaveUp_ = false;
    }
    publishAudioStatus(forceSend);
}

void DisplaySession::startAudio() {
    const auto generation = ++audioGeneration_;
    std::shared_ptr<AudioSource> source;
    if (syntheticAudioFrequency) {
        source = SyntheticAudioSource::create(*audioQueue_, *syntheticAudioFrequency, simulateAudioFailure);
    } else {
        auto recorder = platform_.makeAudioRecorder ? platform_.makeAudioRecorder() : nullptr;
        if (!recorder) {
            audioError_ = RemoteText::make(RemoteText::audioStartFailed, {"no sound server"});
            log_.warning("Sound capture failed: no sound server");
            scheduleAudioRetry();
            return;
        }
        source = SystemAudioCapture::create(std::move(recorder), kAudioRate, kAudioChannels);
    }
    std::weak_ptr<AudioSender> sender = audioSender_;
    source->onChunk = [sender](AudioChunk chunk) {
        if (auto s = sender.lock()) s->send(chunk);
    };
    auto main = main_.handle();
    std::weak_ptr<DisplaySession> weak = weak_from_this();
    source->onStop = [weak, main, generation](std::optional<std::string> error) {
        main.post([weak, generation, error] {
            if (auto self = weak.lock()) self->audioStopped(generation, error);
        });
    };
    audioSource_ = source;
    audioStreaming_ = false;
    source->start([weak, main, generation](std::expected<void, AudioCaptureError> started) {
        main.post([weak, generation, started] {
            auto self = weak.lock();
            if (!self || generation != self->audioGeneration_ || !self->audioSource_) return;
            if (started) {
                if (!self->audioError_ && self->audioRetries_ > 0) self->log_.info("Sound streaming recovered");
                self->audioRetries_ = 0;
                self->audioStreaming_ = true;
                self->log_.info(
                    fmt::format("Sound → device started (route {})", toText(self->configuration_->settings().audio)));
                self->updateAudio(false);
                return;
            }
            self->audioQueue_->post([source = std::exchange(self->audioSource_, nullptr)] { source->stop(); });
            const auto& error = started.error();
            self->audioError_ = error.description();
            self->log_.warning("Sound capture failed: " +
                               (error.message.empty() ? error.description() : error.message));
            self->scheduleAudioRetry();
            self->updateAudio(false);
        });
    });
}

void DisplaySession::stopAudio() {
    audioRetryTask_.cancel();
    auto source = std::exchange(audioSource_, nullptr);
    if (!source) return;
    // Stopping may wait for the sound server; it must not hold the main thread.
    audioQueue_->post([source] { source->stop(); });
    log_.info("Sound → device stopped");
}

void DisplaySession::audioStopped(std::int64_t generation, std::optional<std::string> error) {
    if (generation != audioGeneration_ || !audioSource_) return;
    audioQueue_->post([source = std::exchange(audioSource_, nullptr)] { source->stop(); });
    log_.notice("Sound capture interrupted (" + error.value_or("no error") + "), retrying");
    scheduleAudioRetry();
    updateAudio(false);
}

void DisplaySession::scheduleAudioRetry() {
    audioRetryTask_.cancel();
    ++audioRetries_;
    if (audioRetries_ <= kMaxAudioRetries) {
        audioRetryTask_ = onMainAfter(std::chrono::seconds(std::min<std::int64_t>(audioRetries_, 3)),
                                      [](DisplaySession& self) { self.updateAudio(false); });
        return;
    }
    audioGaveUp_ = true;
    if (!audioError_) audioError_ = RemoteText::make(RemoteText::audioGaveUp);
    log_.warning("Sound capture failed repeatedly, giving up until the next change");
    publishAudioStatus(false);
}

void DisplaySession::publishAudioStatus(bool forceSend) {
    std::optional<AudioStatus> next;
    if (active_ && configuration_->settings().audio != AudioRoute::host) {
        // Streaming once the source has started, not while it is still starting (it may fail).
        next = AudioStatus{audioSource_ != nullptr && audioStreaming_, muter_ && muter_->isMuted(), kAudioRate,
                           kAudioChannels, audioError_};
    }
    if (next == status_.audio && !forceSend) return;
    status_.audio = next;
    // Absent means "no sound here": the device hears it as a status with nothing streaming.
    if (active_ && active_->link) active_->link->sendControl({next.value_or(AudioStatus{})});
    publishStatus();
}

} // namespace kiv
