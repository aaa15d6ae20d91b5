#include "KivHostCore/Media/H264Encoder.hpp"

#include <cmath>
#include <fmt/format.h>

#include "KivHostCore/Metrics/FrameTrace.hpp"
#include "KivProtocol/H264Bitstream.hpp"

namespace kiv {

std::string H264EncoderError::text() const {
    switch (kind) {
    case Kind::sessionCreate: return fmt::format("encoder session could not be created ({}): {}", status, detail);
    case Kind::prepare: return fmt::format("encoder could not prepare ({}): {}", status, detail);
    case Kind::hardwareUnavailable: return "no hardware encoder";
    }
    return {};
}

int H264Encoder::keyframeIntervalFrames(const Configuration& c) {
    if (c.refinementQuality) return 1;
    return std::max(static_cast<int>(std::trunc(c.keyframeIntervalSeconds * c.fps)), 1);
}

std::expected<std::shared_ptr<H264Encoder>, H264EncoderError>
H264Encoder::create(Configuration configuration, EncoderFactory& factory, Executor& queue,
                    std::shared_ptr<PerformanceMonitor> monitor) {
    EncoderOptions options{configuration.width,
                           configuration.height,
                           configuration.fps,
                           configuration.bitrate,
                           keyframeIntervalFrames(configuration),
                           configuration.refinementQuality};
    auto backend = factory.open(options);
    if (!backend) return std::unexpected(H264EncoderError{H264EncoderError::Kind::sessionCreate, -1, backend.error()});
    const auto log = KivLog::logger("Encoder");
    log.info("Encoder id=" + (*backend)->name());
    if (configuration.refinementQuality) {
        log.info(fmt::format("Refinement encoder started {}x{} quality={}", configuration.width, configuration.height,
                             *configuration.refinementQuality));
    } else {
        log.info(fmt::format("Encoder started {}x{}@{} {}kbps hardware={}", configuration.width, configuration.height,
                             configuration.fps, configuration.bitrate / 1000, (*backend)->isHardware()));
    }
    return std::make_shared<H264Encoder>(configuration, std::move(*backend), queue, std::move(monitor));
}

H264Encoder::H264Encoder(Configuration configuration, std::unique_ptr<EncoderBackend> backend, Executor& queue,
                         std::shared_ptr<PerformanceMonitor> monitor)
    : configuration_(configuration), backend_(std::move(backend)), queue_(queue), handle_(queue.handle()),
      monitor_(std::move(monitor)) {}

int H264Encoder::inFlight() const {
    const std::lock_guard lock(inFlightMutex_);
    return (running_ ? 1 : 0) + (waiting_ ? 1 : 0);
}

void H264Encoder::encode(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs) {
    {
        const std::lock_guard lock(inFlightMutex_);
        if (running_) {
            if (waiting_) {
                if (monitor_) monitor_->countDroppedCapture();
                // The skipped picture's changes are not in the encoder's reference either.
                if (buffer != waiting_->first) buffer->changes.absorb(waiting_->first->changes);
            }
            waiting_.emplace(std::move(buffer), captureTimeUs);
            return;
        }
        running_ = true;
    }
    const bool posted = handle_.post([weak = weak_from_this(), buffer = std::move(buffer), captureTimeUs]() mutable {
        if (auto self = weak.lock()) self->run(std::move(buffer), captureTimeUs);
    });
    if (!posted) { // the queue is gone: nothing will ever encode it
        const std::lock_guard lock(inFlightMutex_);
        running_ = false;
        waiting_.reset();
    }
}

// Encodes one picture, then the one that waited meanwhile as a task of its own, so that keyframe
// requests and bit rate changes posted in between are not held up behind a stream of pictures.
void H264Encoder::run(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs) {
    sharpenPasses_ = 0; // a new picture: the pictures that follow it sharpen it
    submit(std::move(buffer), captureTimeUs);
    const std::lock_guard lock(inFlightMutex_);
    if (!waiting_) {
        running_ = false;
        return;
    }
    auto next = std::move(*waiting_);
    waiting_.reset();
    const bool posted = handle_.post([weak = weak_from_this(), next = std::move(next)]() mutable {
        if (auto self = weak.lock()) self->run(std::move(next.first), next.second);
    });
    if (!posted) running_ = false;
}

void H264Encoder::submit(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs) {
    if (invalidated_ || !backend_) return;
    const std::uint64_t pts = std::max(lastPTSUs_ + 1, captureTimeUs);
    lastPixelBuffer_ = buffer;
    lastPTSUs_ = pts;
    const bool force = std::exchange(forceKeyframe_, false);
    const auto started = queue_.now();
    auto packets = backend_->encode(*buffer, pts, force);
    if (!packets) {
        log_.error(fmt::format("EncodeFrame failed {}", packets.error()));
        if (++failuresInARow_ == kFailureReportThreshold) reportFailure(packets.error());
        return;
    }
    failuresInARow_ = 0;
    if (FrameTrace::enabled()) {
        FrameTrace::mark(captureTimeUs, FrameTrace::Stage::encodeStarted, static_cast<std::uint64_t>(started.count()));
        FrameTrace::mark(captureTimeUs, FrameTrace::Stage::encoded, static_cast<std::uint64_t>(queue_.now().count()));
    }
    if (packets->empty() && monitor_) monitor_->countDroppedCapture(); // rate control dropped it
    // A keyframe gets a share of its budget and the pictures right after it sharpen it; on a
    // still screen (a device that lost the stream, a link switch) none come, so the same picture
    // goes in again for as long as that takes: a few frame times. Unchanged, it costs only the
    // sharpening (and the refresh column). Still images and hardware encoders have no such budget.
    const bool keyframe = std::any_of(packets->begin(), packets->end(), [](const auto& p) { return p.isKeyframe; });
    if (keyframe && !configuration_.refinementQuality && !backend_->isHardware() && buffer->changes.serial != 0)
        sharpenPasses_ = std::max(kSharpenPassesLeast, configuration_.fps / 10);
    if (sharpenPasses_ > 0) {
        const Duration frame(1'000'000 / std::max(configuration_.fps, 1));
        sharpenPass_ = queue_.postAfter(frame, [weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->sharpenStillPicture();
        });
    }
    for (auto& packet : *packets) {
        EncodedFrame frame{std::move(packet.data), packet.isKeyframe, captureTimeUs};
        if (frame.data.empty()) continue;
        if (monitor_) {
            monitor_->countEncoded(static_cast<std::uint64_t>((queue_.now() - started).count()),
                                   static_cast<std::int64_t>(frame.data.size()));
        }
        report(std::move(frame));
    }
}

void H264Encoder::sharpenStillPicture() {
    if (invalidated_ || !lastPixelBuffer_ || sharpenPasses_ <= 0 || forceKeyframe_) return;
    {
        const std::lock_guard lock(inFlightMutex_);
        if (running_) return; // a new picture is on its way
    }
    --sharpenPasses_;
    // The same picture again, saying nothing changed since itself.
    auto& changes = lastPixelBuffer_->changes;
    changes.known = true;
    changes.since = changes.serial;
    changes.rects.clear();
    submit(lastPixelBuffer_, static_cast<std::uint64_t>(queue_.now().count()));
}

void H264Encoder::report(EncodedFrame frame) {
    const std::lock_guard lock(reportMutex_);
    if (!invalidated_ && onEncoded) onEncoded(std::move(frame));
}

void H264Encoder::reportFailure(std::int32_t status) {
    const std::lock_guard lock(reportMutex_);
    if (!invalidated_ && onFailure) onFailure(status);
}

void H264Encoder::requestKeyframe() {
    // Requests that arrive before the queue gets to the first are the same request.
    if (keyframeRequestQueued_.exchange(true)) return;
    handle_.post([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->keyframeRequestQueued_ = false;
        if (self->invalidated_) return;
        self->forceKeyframe_ = true;
        // On a still screen no new frame comes to carry the keyframe: re-encode the last one.
        const Duration twoFrames(2'000'000 / std::max(self->configuration_.fps, 1));
        self->keyframeRetry_ = self->queue_.postAfter(twoFrames, [weak] {
            const auto encoder = weak.lock();
            if (!encoder || !encoder->forceKeyframe_ || encoder->invalidated_ || !encoder->lastPixelBuffer_) return;
            {
                const std::lock_guard lock(encoder->inFlightMutex_);
                if (encoder->running_) return; // a picture is on its way and carries the keyframe
            }
            encoder->submit(encoder->lastPixelBuffer_, static_cast<std::uint64_t>(encoder->queue_.now().count()));
        });
    });
}

void H264Encoder::forceKeyframeOnNextFrame() {
    handle_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->forceKeyframe_ = true;
    });
}

void H264Encoder::setBitrate(std::int64_t bitrate) {
    handle_.post([weak = weak_from_this(), bitrate] {
        const auto self = weak.lock();
        if (!self || self->invalidated_ || !self->backend_) return;
        if (self->backend_->setBitrate(bitrate))
            self->log_.notice(fmt::format("Encoder bitrate {}kbps", bitrate / 1000));
    });
}

void H264Encoder::invalidate() {
    {
        const std::lock_guard lock(reportMutex_);
        if (invalidated_.exchange(true)) return;
    }
    // Closing the backend joins its spare encoder and hands memory back: the encoder's thread
    // does it, after the encode in progress, while the caller goes on. Frames still queued see
    // the flag and are dropped. When the queue is already gone, the backend goes with the encoder.
    handle_.post([self = shared_from_this()] {
        self->keyframeRetry_.cancel();
        self->sharpenPass_.cancel();
        self->backend_.reset();
        self->lastPixelBuffer_.reset();
        self->onEncoded = nullptr;
        self->onFailure = nullptr;
        self->log_.notice("Encoder stopped");
    });
}

} // namespace kiv
