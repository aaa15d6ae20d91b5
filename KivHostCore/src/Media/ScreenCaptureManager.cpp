#include "KivHostCore/Media/ScreenCaptureManager.hpp"

#include <fmt/format.h>

namespace kiv {

std::shared_ptr<ScreenCaptureManager> ScreenCaptureManager::create(std::unique_ptr<ScreenGrabber> grabber, Executor& queue,
                                                                   std::shared_ptr<PerformanceMonitor> monitor) {
    return std::make_shared<ScreenCaptureManager>(std::move(grabber), queue, std::move(monitor));
}

ScreenCaptureManager::ScreenCaptureManager(std::unique_ptr<ScreenGrabber> grabber, Executor& queue,
                                           std::shared_ptr<PerformanceMonitor> monitor)
    : grabber_(std::move(grabber)), queue_(queue), monitor_(std::move(monitor)) {}

void ScreenCaptureManager::start(std::optional<std::uint32_t> displayID, int width, int height, int fps, Started started) {
    queue_.post([weak = weak_from_this(), displayID, width, height, fps, started = std::move(started)]() mutable {
        const auto self = weak.lock();
        if (!self) return;
        ++self->session_;
        if (auto opened = self->grabber_->open(self->queue_); !opened) {
            if (started) started(std::unexpected(opened.error()));
            return;
        }
        self->lookup(displayID, width, height, fps, 1, std::move(started));
    });
}

void ScreenCaptureManager::lookup(std::optional<std::uint32_t> displayID, int width, int height, int fps, int attempt,
                                  Started started) {
    // A display created a moment ago may take a little while to be listed.
    if (const auto rect = grabber_->displayRect(displayID)) {
        begin(displayID, *rect, width, height, fps);
        if (started) started({});
        return;
    }
    if (attempt >= kLookupAttempts) {
        if (started) started(std::unexpected(CaptureError::displayNotFound(displayID.value_or(0))));
        return;
    }
    retry_ = queue_.postAfter(kLookupInterval, [weak = weak_from_this(), session = session_, displayID, width, height, fps,
                                                attempt, started = std::move(started)]() mutable {
        const auto self = weak.lock();
        if (self && self->session_ == session) self->lookup(displayID, width, height, fps, attempt + 1, std::move(started));
    });
}

void ScreenCaptureManager::begin(std::optional<std::uint32_t> displayID, ScreenRect rect, int width, int height, int fps) {
    running_ = true;
    rect_ = rect;
    pool_ = std::make_unique<PixelBufferPool>(width, height);
    interval_ = Duration(1'000'000 / std::max(fps, 1));
    lastGrab_.reset();
    loggedFirstFrame_ = false;
    captureInput_ = fmt::format("{}x{} pixels at {},{}", rect.width, rect.height, rect.x, rect.y);
    grabber_->watch(rect, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->changed();
    });
    log_.info(fmt::format("Capture started display={} input {} → output {}x{}@{}", displayID.value_or(0), captureInput_, width,
                          height, fps));
    grabNow(); // the first picture does not wait for a change
}

void ScreenCaptureManager::changed() {
    if (!running_ || pendingGrab_.isPending()) return;
    const auto now = queue_.now();
    if (!lastGrab_ || now - *lastGrab_ >= interval_) {
        grabNow();
        return;
    }
    pendingGrab_ = queue_.postAfter(*lastGrab_ + interval_ - now, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->grabNow();
    });
}

void ScreenCaptureManager::grabNow() {
    if (!running_ || !pool_) return;
    lastGrab_ = queue_.now();
    auto buffer = pool_->acquire();
    if (!grabber_->grab(rect_, *buffer, true)) return;
    if (monitor_) monitor_->countCaptured();
    if (!loggedFirstFrame_) {
        loggedFirstFrame_ = true;
        log_.info(fmt::format("Capture actual: input {} → first frame {}x{}", captureInput_, buffer->width(), buffer->height()));
    }
    if (onFrame) onFrame(std::move(buffer), static_cast<std::uint64_t>(queue_.now().count()));
}

void ScreenCaptureManager::stop() {
    queue_.sync([this] {
        ++session_;
        retry_.cancel();
        pendingGrab_.cancel();
        if (!running_) return;
        running_ = false;
        grabber_->close();
        pool_.reset();
        log_.notice("Capture stopped");
    });
}

} // namespace kiv
