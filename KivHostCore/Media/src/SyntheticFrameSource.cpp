#include "KivHostCore/Media/SyntheticFrameSource.hpp"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

#include "KivProtocol/HostClock.hpp"
#include "KivProtocol/Localization.hpp"

namespace kiv {

std::string CaptureError::text() const {
    switch (kind) {
    case Kind::displayNotFound: return localize("ScreenCaptureKit can't find display ") + std::to_string(displayID);
    case Kind::startFailed: return localize("Screen capture couldn't start: ") + message;
    case Kind::permissionDenied:
        return localize("KivDisplay cannot read the screen of the X display, so it cannot send the extended display to "
                        "your device.");
    }
    return {};
}

std::shared_ptr<SyntheticFrameSource> SyntheticFrameSource::create(Executor& queue,
                                                                   std::shared_ptr<PerformanceMonitor> monitor,
                                                                   std::optional<std::int64_t> staticAfterFrames,
                                                                   std::optional<std::int64_t> staticTicks) {
    return std::make_shared<SyntheticFrameSource>(queue, std::move(monitor), staticAfterFrames, staticTicks);
}

SyntheticFrameSource::SyntheticFrameSource(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor,
                                           std::optional<std::int64_t> staticAfterFrames,
                                           std::optional<std::int64_t> staticTicks)
    : queue_(queue), monitor_(std::move(monitor)), staticAfterFrames_(staticAfterFrames), staticTicks_(staticTicks) {}

void SyntheticFrameSource::start(std::optional<std::uint32_t>, int width, int height, int fps, Started started) {
    queue_.post([weak = weak_from_this(), width, height, fps, started = std::move(started)] {
        const auto self = weak.lock();
        if (!self) return;
        self->pool_ = std::make_unique<PixelBufferPool>(width, height);
        self->interval_ = Duration(1'000'000 / std::max(fps, 1));
        self->nextTick_ = self->queue_.now();
        if (started) started({});
        self->produce(); // the first deadline is now
    });
}

void SyntheticFrameSource::stop() {
    queue_.sync([this] {
        timer_.cancel();
        pool_.reset();
    });
}

void SyntheticFrameSource::schedule() {
    // A strict cadence: each deadline follows the previous one, not the moment the work ran.
    nextTick_ += interval_;
    timer_ = queue_.postAfter(nextTick_ - queue_.now(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->produce();
    });
}

void SyntheticFrameSource::draw(PixelBuffer& buffer, std::int64_t index) {
    const int w = buffer.width();
    const int h = buffer.height();
    const int barStart = static_cast<int>(std::min<std::int64_t>(w, (index * 16) % std::max(w, 1)));
    const int barWidth = std::min(w - barStart, 120);
    for (int y = 0; y < h; ++y) {
        auto* row = buffer.luma() + static_cast<std::ptrdiff_t>(y) * buffer.lumaStride();
        std::memset(row, 16 + (y * 200 / std::max(h, 1)), static_cast<std::size_t>(w));
        if (barWidth > 0) std::memset(row + barStart, 235, static_cast<std::size_t>(barWidth));
    }
    std::memset(buffer.chroma(), static_cast<int>(index % 60 + 98),
                static_cast<std::size_t>(buffer.chromaStride()) * static_cast<std::size_t>(h / 2));
}

void SyntheticFrameSource::produce() {
    if (!pool_) return;
    schedule();
    ++tick_;
    if (staticAfterFrames_ && frameIndex_ >= *staticAfterFrames_) {
        if (!staticTicks_ || tick_ <= *staticAfterFrames_ + *staticTicks_) return; // holding still
    }
    auto buffer = pool_->acquire();
    draw(*buffer, frameIndex_);
    ++frameIndex_;
    if (monitor_) monitor_->countCaptured();
    if (onFrame) onFrame(std::move(buffer), static_cast<std::uint64_t>(queue_.now().count()));
}

} // namespace kiv
