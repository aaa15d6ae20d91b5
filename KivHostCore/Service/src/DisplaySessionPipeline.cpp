// The media pipeline of a session: start and stop with generations, capture recovery, sleep and
// wake.
#include <algorithm>
#include <fmt/format.h>
#include <numeric>

#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Service/DisplaySession.hpp"

namespace kiv {
namespace {

std::string encoderText(const H264Encoder::Configuration& c) {
    return fmt::format("{}x{}@{} bitrate={:.1f}Mbps keyframe={:.1f}s", c.width, c.height, c.fps,
                       static_cast<double>(c.bitrate) / 1e6, c.keyframeIntervalSeconds);
}

} // namespace

void DisplaySession::reconfigureStream(const DisplayConfiguration& configuration, StreamDone done) {
    startStream(configuration, [done = std::move(done)](StreamResult result) {
        if (result) return done({});
        done(std::unexpected(result.error().text));
    });
}

void DisplaySession::startStream(const DisplayConfiguration& config, std::function<void(StreamResult)> done) {
    sender_->updateBitrate(config.bitrate);
    startPipeline(status_.displayID, config, std::move(done));
}

void DisplaySession::reconfigureEncoder(const DisplayConfiguration& configuration) {
    sender_->updateBitrate(configuration.bitrate);
    if (!pipeline_) return;
    pipeline_->encoder->setBitrate(configuration.bitrate);
    if (pipeline_->refiner) pipeline_->refiner->update(configuration.refinementQuality);
    pipeline_->config = configuration;
    auto actual = pipeline_->encoder->configuration();
    actual.bitrate = configuration.bitrate;
    log_.info("Encoder actual: " + encoderText(actual) + " (updated in place)");
}

void DisplaySession::startPipeline(std::optional<std::uint32_t> displayID, const DisplayConfiguration& config,
                                   std::function<void(StreamResult)> done) {
    stopPipeline();
    const auto generation = pipelineGeneration_;
    H264Encoder::Configuration encoding{static_cast<int>(config.streamWidth),
                                        static_cast<int>(config.streamHeight),
                                        static_cast<int>(config.fps > 0 ? config.fps : 30),
                                        config.bitrate,
                                        2.0,
                                        std::nullopt};
    auto created = H264Encoder::create(encoding, *platform_.encoders, *encoderQueue_, monitor_);
    if (!created) {
        done(std::unexpected(StreamStartError{false, created.error().text()}));
        return;
    }
    auto encoder = *created;
    std::weak_ptr<VideoSender> sender = sender_;
    // The refiner is there with refinement off too (idle at quality 0), so that switching it on,
    // which retunes the encoder in place, takes effect without a new stream.
    StaticRefiner::Configuration refining;
    refining.quality = config.refinementQuality;
    auto refiner = StaticRefiner::create(static_cast<int>(config.refinementWidth.value_or(config.streamWidth)),
                                         static_cast<int>(config.refinementHeight.value_or(config.streamHeight)),
                                         refining, *refinerQueue_, *platform_.encoders, *refinerEncoderQueue_);
    refiner->onRefined = [sender](EncodedFrame frame) {
        if (auto s = sender.lock()) s->sendRefinement(std::move(frame));
    };
    refiner->onNeedMainKeyframe = [weakEncoder = std::weak_ptr<H264Encoder>(encoder)] {
        if (auto e = weakEncoder.lock()) e->forceKeyframeOnNextFrame();
    };
    std::weak_ptr<StaticRefiner> weakRefiner = refiner;
    encoder->onEncoded = [sender, weakRefiner](EncodedFrame frame) {
        if (auto r = weakRefiner.lock())
            r->noteMainFrameEncoded(static_cast<std::int64_t>(frame.data.size()), frame.isKeyframe);
        if (auto s = sender.lock()) s->send(std::move(frame));
    };
    encoder->onFailure = [log = log_](std::int32_t status) {
        log.warning(fmt::format("Encoder keeps failing (status {}), frames are being lost", status));
    };

    std::shared_ptr<FrameSource> source;
    if (sourceKind_ == FrameSourceKind::synthetic) {
        source = SyntheticFrameSource::create(*captureQueue_, monitor_);
    } else {
        source = ScreenCaptureManager::create(platform_.makeGrabber(), *captureQueue_, monitor_);
    }
    auto live = std::make_shared<std::atomic<bool>>(true);
    source->onFrame = [live, encoder, refiner](std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs) {
        if (!live->load()) return;
        if (refiner) refiner->noteCaptured(buffer);
        encoder->encode(std::move(buffer), captureTimeUs);
    };
    auto main = main_.handle();
    std::weak_ptr<DisplaySession> weak = weak_from_this();
    source->onStop = [live, weak, main, generation](std::optional<CaptureError> error) {
        if (!live->load()) return;
        main.post([weak, generation, error] {
            if (auto self = weak.lock()) self->sourceStopped(generation, error);
        });
    };
    pipeline_ = Pipeline{source, encoder, config, refiner, live};
    source->start(displayID, encoding.width, encoding.height, encoding.fps,
                  [weak, main, generation, done = std::move(done)](std::expected<void, CaptureError> started) mutable {
                      main.post([weak, generation, started, done = std::move(done)] {
                          auto self = weak.lock();
                          if (!self) return;
                          const bool current = self->pipeline_ && generation == self->pipelineGeneration_;
                          if (!started) {
                              if (current) self->stopPipeline();
                              done(std::unexpected(StreamStartError{true, started.error().text()}));
                              return;
                          }
                          if (current) {
                              self->captureRetries_ = 0;
                              self->requestKeyframe();
                              self->log_.info("Encoder actual: " +
                                              encoderText(self->pipeline_->encoder->configuration()));
                          }
                          done({});
                      });
                  });
}

void DisplaySession::stopPipeline() {
    if (!pipeline_) return;
    flushStats();
    auto pipeline = std::move(*pipeline_);
    pipeline_.reset();
    ++pipelineGeneration_;
    pipeline.live->store(false);
    if (pipeline.refiner) pipeline.refiner->invalidate();
    pipeline.encoder->invalidate();
    // Stopping capture waits for its queue; it must not hold the main thread.
    captureQueue_->post([source = std::move(pipeline.source)] { source->stop(); });
}

void DisplaySession::sourceStopped(std::int64_t generation, std::optional<CaptureError> error) {
    if (generation != pipelineGeneration_ || !active_ || active_->paused || configuration_->isBusy()) return;
    stopPipeline();
    if (displaysAsleep_) {
        log_.info("Capture stopped while displays are asleep, will resume on wake");
        return;
    }
    ++captureRetries_;
    const std::string why = error ? error->text() : std::string();
    if (captureRetries_ > kMaxCaptureRetries) {
        log_.error("Capture failed repeatedly (" + (error ? why : "-") + "), giving up");
        if (active_->link) active_->link->close(ControlMessage{Disconnect{"capture failed"}});
        teardownClient(false);
        return;
    }
    const auto id = status_.displayID;
    const bool offline = id && !virtualDisplay_->isOnline(*id);
    std::string line = "Capture interrupted (" + (error ? why : "no error") + ")";
    if (offline) line += fmt::format(", virtual display {} is offline", *id);
    log_.warning(line + fmt::format(", recovering (attempt {})", captureRetries_));
    recover(offline);
}

void DisplaySession::recover(bool offline) {
    const auto started = main_.now();
    if (offline) {
        pollOffline(started, started + kOfflineDeadline);
        return;
    }
    recoveryTask_ = onMainAfter(kRecoveryDelay, [started](DisplaySession& self) {
        self.resumeStreaming([weak = self.weak_from_this(), started] {
            auto session = weak.lock();
            if (session && session->pipeline_) {
                session->log_.info(fmt::format(
                    "Capture recovered in {}ms",
                    std::chrono::duration_cast<std::chrono::milliseconds>(session->main_.now() - started).count()));
            }
        });
    });
}

void DisplaySession::pollOffline(MonotonicTime started, MonotonicTime deadline) {
    const auto id = status_.displayID;
    const bool online = id && virtualDisplay_->isOnline(*id);
    if (!online && main_.now() < deadline && !displaysAsleep_) {
        recoveryTask_ = onMainAfter(kOfflinePoll,
                                    [started, deadline](DisplaySession& self) { self.pollOffline(started, deadline); });
        return;
    }
    if (!online) {
        resumeStreaming();
        return;
    }
    if (!active_ || !configuration_->applied()) return;
    startStream(*configuration_->applied(), [weak = weak_from_this(), started, id](StreamResult result) {
        auto self = weak.lock();
        if (!self) return;
        if (result) {
            self->log_.info(fmt::format(
                "Capture recovered in {}ms (virtual display {} back online, not recreated)",
                std::chrono::duration_cast<std::chrono::milliseconds>(self->main_.now() - started).count(), *id));
            self->setService(HostStatus::Service::streaming());
            return;
        }
        self->log_.warning("Capture restart failed: " + result.error().text);
        self->resumeStreaming();
    });
}

void DisplaySession::resumeStreaming(std::function<void()> done) {
    if (!active_ || active_->paused || displaysAsleep_) {
        if (done) done();
        return;
    }
    const auto config = configuration_->applied().value_or(configuration_->desiredConfiguration());
    stopPipeline();
    gate_->run([weak = weak_from_this(), config, done](DisplayOperationGate::Release release) {
        auto self = weak.lock();
        if (!self) return release();
        self->reconfigureDisplayLocked(config, [weak, release, done](auto result) {
            release();
            auto session = weak.lock();
            if (!session) return;
            if (!result) return session->resumeFailed(result.error().text(), done);
            if (!session->active_ || session->active_->paused) {
                if (done) done();
                return;
            }
            session->sender_->setPaused(false);
            session->startStream(*result, [weak, done](StreamResult started) {
                auto again = weak.lock();
                if (!again) return;
                if (!started) return again->resumeFailed(started.error().text, done);
                again->setService(HostStatus::Service::streaming());
                if (done) done();
            });
        });
    });
}

void DisplaySession::resumeFailed(const std::string& text, const std::function<void()>& done) {
    log_.error("Resume failed: " + text);
    setService(HostStatus::Service::error("Resuming the stream failed: " + text));
    if (done) done();
}

void DisplaySession::observePower() {
    if (!platform_.power) return;
    std::weak_ptr<DisplaySession> weak = weak_from_this();
    const auto with = [weak](auto fn) {
        return [weak, fn] {
            if (auto self = weak.lock(); self && !self->isStopped_) fn(*self);
        };
    };
    powerToken_ = platform_.power->observe({
        .displaysDidSleep = with([](DisplaySession& self) {
            self.log_.info("Displays did sleep: capture paused (virtual display kept)");
            self.displaysAsleep_ = true;
            self.stopPipeline();
        }),
        .displaysDidWake = with([](DisplaySession& self) {
            self.log_.info("Displays did wake: resuming capture");
            self.displaysAsleep_ = false;
            self.captureRetries_ = 0;
            self.audio_->retryAfresh();
            self.updateAudio(false);
            self.onMain([](DisplaySession& s) { s.resumeStreaming(); });
        }),
        .systemWillSleep = with([](DisplaySession& self) {
            self.log_.info("Mac will sleep");
            self.stopPipeline();
        }),
        .systemDidWake = with([](DisplaySession& self) {
            self.log_.info("Mac did wake");
            self.displaysAsleep_ = false;
            self.onMain([](DisplaySession& s) { s.resumeStreaming(); });
        }),
    });
}

} // namespace kiv
