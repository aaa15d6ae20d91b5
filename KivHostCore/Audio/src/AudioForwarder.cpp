#include "KivHostCore/Audio/AudioForwarder.hpp"

#include <fmt/format.h>

#include "KivHostCore/Audio/SyntheticAudioSource.hpp"
#include "KivHostCore/Audio/SystemAudioCapture.hpp"
#include "KivProtocol/EnumText.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {

std::shared_ptr<AudioForwarder> AudioForwarder::create(Executor& main, Executor& queue,
                                                       std::shared_ptr<AudioSender> sender,
                                                       std::shared_ptr<MuteCoordinator> muter,
                                                       MakeRecorder makeRecorder) {
    return std::make_shared<AudioForwarder>(main, queue, std::move(sender), std::move(muter), std::move(makeRecorder));
}

AudioForwarder::AudioForwarder(Executor& main, Executor& queue, std::shared_ptr<AudioSender> sender,
                               std::shared_ptr<MuteCoordinator> muter, MakeRecorder makeRecorder)
    : main_(main), queue_(queue), sender_(std::move(sender)), muter_(std::move(muter)),
      makeRecorder_(std::move(makeRecorder)) {}

AudioForwarder::~AudioForwarder() {
    if (source_) source_->stop();
}

void AudioForwarder::update(const Wish& wish, bool forceSend) {
    wish_ = wish;
    std::weak_ptr<AudioForwarder> weak = weak_from_this();
    const auto republish = [weak](const MuteCoordinator::State&) {
        if (auto self = weak.lock()) self->publish(false);
    };
    if (wanted()) {
        if (!source_ && !retryTask_.isPending() && !gaveUp_) start();
        const bool silenceHost = wish_.route == AudioRoute::device && !error_;
        if (muter_) muter_->set(this, silenceHost, republish);
    } else {
        if (source_ || retryTask_.isPending()) stopSource();
        if (muter_) muter_->set(this, false, republish);
        error_.reset();
        retries_ = 0;
        gaveUp_ = false;
    }
    publish(forceSend);
}

void AudioForwarder::retryAfresh() {
    gaveUp_ = false;
    retries_ = 0;
}

void AudioForwarder::retryIfGaveUp() {
    if (std::exchange(gaveUp_, false)) retries_ = 0;
}

void AudioForwarder::stop() {
    stopped_ = true;
    stopSource();
    if (muter_) muter_->set(this, false);
    status_.reset();
}

void AudioForwarder::start() {
    const auto generation = ++generation_;
    std::shared_ptr<AudioSource> source;
    if (testTone) {
        source = SyntheticAudioSource::create(queue_, testTone->frequency, testTone->failStart);
    } else {
        auto recorder = makeRecorder_ ? makeRecorder_() : nullptr;
        if (!recorder) {
            error_ = RemoteText::make(RemoteText::audioStartFailed, {"no sound server"});
            log_.warning("Sound capture failed: no sound server");
            scheduleRetry();
            return;
        }
        source = SystemAudioCapture::create(std::move(recorder), kRate, kChannels);
    }
    std::weak_ptr<AudioSender> sender = sender_;
    source->onChunk = [sender](AudioChunk chunk) {
        if (auto s = sender.lock()) s->send(chunk);
    };
    auto main = main_.handle();
    std::weak_ptr<AudioForwarder> weak = weak_from_this();
    source->onStop = [weak, main, generation](std::optional<std::string> error) {
        main.post([weak, generation, error] {
            if (auto self = weak.lock()) self->stopped(generation, error);
        });
    };
    source_ = source;
    streaming_ = false;
    source->start([weak, main, generation](std::expected<void, AudioCaptureError> started) {
        main.post([weak, generation, started] {
            auto self = weak.lock();
            if (!self || generation != self->generation_ || !self->source_) return;
            if (started) {
                if (!self->error_ && self->retries_ > 0) self->log_.info("Sound streaming recovered");
                self->retries_ = 0;
                self->streaming_ = true;
                self->log_.info(fmt::format("Sound → device started (route {})", toText(self->wish_.route)));
                self->update(self->wish_, false);
                return;
            }
            self->queue_.post([source = std::exchange(self->source_, nullptr)] { source->stop(); });
            const auto& error = started.error();
            self->error_ = error.description();
            self->log_.warning("Sound capture failed: " +
                               (error.message.empty() ? error.description() : error.message));
            self->scheduleRetry();
            self->update(self->wish_, false);
        });
    });
}

void AudioForwarder::stopSource() {
    retryTask_.cancel();
    auto source = std::exchange(source_, nullptr);
    if (!source) return;
    // Stopping may wait for the sound server; it must not hold the main thread.
    queue_.post([source] { source->stop(); });
    log_.info("Sound → device stopped");
}

void AudioForwarder::stopped(std::int64_t generation, std::optional<std::string> error) {
    if (generation != generation_ || !source_) return;
    queue_.post([source = std::exchange(source_, nullptr)] { source->stop(); });
    log_.notice("Sound capture interrupted (" + error.value_or("no error") + "), retrying");
    scheduleRetry();
    update(wish_, false);
}

void AudioForwarder::scheduleRetry() {
    retryTask_.cancel();
    ++retries_;
    if (retries_ <= kMaxRetries) {
        retryTask_ = postIfAliveAfter(main_, std::chrono::seconds(std::min<std::int64_t>(retries_, 3)),
                                      weak_from_this(), [](AudioForwarder& self) { self.update(self.wish_, false); });
        return;
    }
    gaveUp_ = true;
    if (!error_) error_ = RemoteText::make(RemoteText::audioGaveUp);
    log_.warning("Sound capture failed repeatedly, giving up until the next change");
    publish(false);
}

void AudioForwarder::publish(bool forceSend) {
    std::optional<AudioStatus> next;
    if (wish_.clientPresent && wish_.route != AudioRoute::host && !stopped_) {
        // Streaming once the source has started, not while it is still starting (it may fail).
        next = AudioStatus{source_ != nullptr && streaming_, muter_ && muter_->isMuted(), kRate, kChannels, error_};
    }
    if (next == status_ && !forceSend) return;
    status_ = next;
    if (onStatus) onStatus(next);
}

} // namespace kiv
