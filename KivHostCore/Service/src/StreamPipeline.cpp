#include "KivHostCore/Service/StreamPipeline.hpp"

#include <fmt/format.h>

#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"

namespace kiv {
namespace {

std::string encoderText(const H264Encoder::Configuration& c) {
    return fmt::format("{}x{}@{} bitrate={:.1f}Mbps keyframe={:.1f}s", c.width, c.height, c.fps,
                       static_cast<double>(c.bitrate) / 1e6, c.keyframeIntervalSeconds);
}

} // namespace

std::shared_ptr<StreamPipeline> StreamPipeline::create(FrameSourceKind sourceKind, HostPlatform& platform,
                                                       Executor& main, std::shared_ptr<PerformanceMonitor> monitor,
                                                       std::shared_ptr<VideoSender> sender) {
    return std::make_shared<StreamPipeline>(sourceKind, platform, main, std::move(monitor), std::move(sender));
}

StreamPipeline::StreamPipeline(FrameSourceKind sourceKind, HostPlatform& platform, Executor& main,
                               std::shared_ptr<PerformanceMonitor> monitor, std::shared_ptr<VideoSender> sender)
    : main_(main), platform_(platform), sourceKind_(sourceKind), encoderQueue_(platform.makeQueue("kiv.encoder", true)),
      refinerEncoderQueue_(platform.makeQueue("kiv.encoder", true)),
      // Capture blocks on X replies and converts megapixels: a thread of its own, not the shared
      // pool of short tasks.
      captureQueue_(
          platform.makeQueue(sourceKind == FrameSourceKind::synthetic ? "kiv.synthetic" : "kiv.capture", true)),
      refinerQueue_(platform.makeQueue("kiv.refiner", false)), monitor_(std::move(monitor)),
      sender_(std::move(sender)) {}

StreamPipeline::~StreamPipeline() {
    if (!running_) return;
    running_->live->store(false);
    running_->source->stop();
    if (running_->refiner) running_->refiner->invalidate();
    running_->encoder->invalidate();
}

void StreamPipeline::start(std::optional<std::uint32_t> displayID, const DisplayConfiguration& config,
                           std::function<void(Result)> done) {
    stop();
    sender_->updateBitrate(config.bitrate);
    const auto generation = generation_;
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
    std::weak_ptr<StreamPipeline> weak = weak_from_this();
    source->onStop = [live, weak, main, generation](std::optional<CaptureError> error) {
        if (!live->load()) return;
        main.post([weak, generation, error] {
            auto self = weak.lock();
            if (!self || generation != self->generation_ || !self->running_) return;
            if (self->onSourceStopped) self->onSourceStopped(error);
        });
    };
    running_ = Generation{source, encoder, refiner, config, live};
    source->start(displayID, encoding.width, encoding.height, encoding.fps,
                  [weak, main, generation, done = std::move(done)](std::expected<void, CaptureError> result) mutable {
                      main.post([weak, generation, result, done = std::move(done)] {
                          if (auto self = weak.lock()) self->started(generation, result, done);
                      });
                  });
}

void StreamPipeline::started(std::int64_t generation, std::expected<void, CaptureError> result,
                             const std::function<void(Result)>& done) {
    const bool current = running_ && generation == generation_;
    if (!result) {
        if (current) stop();
        done(std::unexpected(StreamStartError{true, result.error().text()}));
        return;
    }
    if (current) {
        requestKeyframe();
        log_.info("Encoder actual: " + encoderText(running_->encoder->configuration()));
        if (onRunning) onRunning();
    }
    done({});
}

void StreamPipeline::stop() {
    if (!running_) return;
    if (beforeStop) beforeStop();
    auto stopping = std::move(*running_);
    running_.reset();
    ++generation_;
    stopping.live->store(false);
    if (stopping.refiner) stopping.refiner->invalidate();
    stopping.encoder->invalidate();
    // Stopping capture waits for its queue; it must not hold the main thread.
    captureQueue_->post([source = std::move(stopping.source)] { source->stop(); });
}

void StreamPipeline::retune(const DisplayConfiguration& config) {
    sender_->updateBitrate(config.bitrate);
    if (!running_) return;
    running_->encoder->setBitrate(config.bitrate);
    if (running_->refiner) running_->refiner->update(config.refinementQuality);
    running_->config = config;
    auto actual = running_->encoder->configuration();
    actual.bitrate = config.bitrate;
    log_.info("Encoder actual: " + encoderText(actual) + " (updated in place)");
}

void StreamPipeline::requestKeyframe() {
    if (running_) running_->encoder->requestKeyframe();
}

std::optional<DisplayConfiguration> StreamPipeline::configuration() const {
    if (!running_) return std::nullopt;
    return running_->config;
}

std::optional<std::tuple<std::int64_t, std::int64_t, std::int64_t>> StreamPipeline::takeRefinerStats() {
    if (!running_ || !running_->refiner) return std::nullopt;
    auto refined = running_->refiner->takeStats();
    if (running_->config.refinementQuality <= 0) return std::nullopt;
    return refined;
}

} // namespace kiv
