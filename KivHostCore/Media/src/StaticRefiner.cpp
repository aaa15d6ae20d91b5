#include "KivHostCore/Media/StaticRefiner.hpp"

#include <fmt/format.h>

namespace kiv {

namespace {
Duration seconds(double value) {
    return Duration(static_cast<std::int64_t>(value * 1'000'000.0));
}
} // namespace

std::shared_ptr<StaticRefiner> StaticRefiner::create(int width, int height, Configuration configuration,
                                                     Executor& queue, EncoderFactory& factory, Executor& encoderQueue) {
    return std::make_shared<StaticRefiner>(width, height, configuration, queue, factory, encoderQueue);
}

StaticRefiner::StaticRefiner(int width, int height, Configuration configuration, Executor& queue,
                             EncoderFactory& factory, Executor& encoderQueue)
    : width_(width), height_(height), queue_(queue), handle_(queue.handle()), factory_(factory),
      encoderQueue_(encoderQueue), configuration_(configuration) {}

void StaticRefiner::noteCaptured(std::shared_ptr<PixelBuffer> buffer) {
    handle_.post([weak = weak_from_this(), buffer = std::move(buffer)]() mutable {
        if (auto self = weak.lock()) self->lastBuffer_ = std::move(buffer);
    });
}

void StaticRefiner::noteMainFrameEncoded(std::int64_t bytes, bool isKeyframe) {
    handle_.post([weak = weak_from_this(), bytes, isKeyframe] {
        const auto self = weak.lock();
        if (!self || self->invalidated_ || self->configuration_.quality <= 0) return;
        ++self->generation_;
        // A main keyframe replaces the whole picture on the device with one at the main stream's
        // quality, including the keyframe a refinement asks for: it comes with the next captured
        // change and wipes out the sharp picture, so it always counts as a large change.
        self->changeBytesSinceRefine_ =
            isKeyframe ? kLargeChange : std::min(self->changeBytesSinceRefine_ + bytes, kLargeChange);
        self->refinedSinceLastMainFrame_ = false;
        self->restartTimer(seconds(self->configuration_.idleDelay));
    });
}

void StaticRefiner::restartTimer(Duration delay) {
    timer_ = queue_.postAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->refine();
    });
}

void StaticRefiner::refine() {
    if (invalidated_ || configuration_.quality <= 0 || refinedSinceLastMainFrame_ || !lastBuffer_) return;
    if (changeBytesSinceRefine_ < configuration_.minChangeBytes) {
        ++skipped_;
        refinedSinceLastMainFrame_ = true;
        return;
    }
    const auto now = queue_.now();
    const auto minInterval = seconds(configuration_.minInterval);
    if (lastRefineAt_ && now - *lastRefineAt_ < minInterval) {
        restartTimer(minInterval - (now - *lastRefineAt_));
        return;
    }
    refinedSinceLastMainFrame_ = true;
    refiningGeneration_ = generation_;
    if (!encoder_) {
        auto created = H264Encoder::create({width_, height_, 30, 6'000'000, 2.0, configuration_.quality}, factory_,
                                           encoderQueue_, nullptr);
        if (!created) {
            log_.error("Refinement encoder unavailable: " + created.error().text());
            return;
        }
        encoder_ = *created;
        encoder_->onEncoded = [weak = weak_from_this()](EncodedFrame frame) {
            const auto self = weak.lock();
            if (!self) return;
            self->handle_.post([weak, frame = std::move(frame)]() mutable {
                if (auto refiner = weak.lock()) refiner->emit(std::move(frame));
            });
        };
    }
    encoder_->encode(lastBuffer_, static_cast<std::uint64_t>(now.count()));
}

void StaticRefiner::emit(EncodedFrame frame) {
    if (invalidated_) return;
    if (refiningGeneration_ != generation_) {
        log_.debug([] { return std::string("Refinement discarded: screen changed while encoding"); });
        return;
    }
    ++refinements_;
    bytes_ += static_cast<std::int64_t>(frame.data.size());
    lastRefineAt_ = queue_.now();
    changeBytesSinceRefine_ = 0;
    if (onNeedMainKeyframe) onNeedMainKeyframe();
    if (onRefined) onRefined(std::move(frame));
}

void StaticRefiner::update(double quality) {
    handle_.post([weak = weak_from_this(), quality] {
        const auto self = weak.lock();
        if (!self || quality == self->configuration_.quality) return;
        self->configuration_.quality = quality;
        if (self->encoder_) self->encoder_->invalidate();
        self->encoder_.reset(); // the next refinement opens one with the new quality
        if (quality <= 0) self->timer_.cancel();
    });
}

std::tuple<std::int64_t, std::int64_t, std::int64_t> StaticRefiner::takeStats() {
    return {refinements_.exchange(0), bytes_.exchange(0), skipped_.exchange(0)};
}

void StaticRefiner::invalidate() {
    queue_.sync([this] {
        invalidated_ = true;
        timer_.cancel();
        if (encoder_) encoder_->invalidate();
        encoder_.reset();
        lastBuffer_.reset();
        onRefined = nullptr;
        onNeedMainKeyframe = nullptr;
    });
}

} // namespace kiv
