#include "KivHostCore/Media/ScreenCaptureManager.hpp"

#include <fmt/format.h>

#include "KivHostCore/Metrics/FrameTrace.hpp"

namespace kiv {

std::shared_ptr<ScreenCaptureManager> ScreenCaptureManager::create(std::unique_ptr<ScreenGrabber> grabber,
                                                                   Executor& queue,
                                                                   std::shared_ptr<PerformanceMonitor> monitor) {
    return std::make_shared<ScreenCaptureManager>(std::move(grabber), queue, std::move(monitor));
}

ScreenCaptureManager::ScreenCaptureManager(std::unique_ptr<ScreenGrabber> grabber, Executor& queue,
                                           std::shared_ptr<PerformanceMonitor> monitor)
    : grabber_(std::move(grabber)), queue_(queue), monitor_(std::move(monitor)) {}

void ScreenCaptureManager::start(std::optional<std::uint32_t> displayID, int width, int height, int fps,
                                 Started started) {
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
    retry_ = queue_.postAfter(kLookupInterval, [weak = weak_from_this(), session = session_, displayID, width, height,
                                                fps, attempt, started = std::move(started)]() mutable {
        const auto self = weak.lock();
        if (self && self->session_ == session)
            self->lookup(displayID, width, height, fps, attempt + 1, std::move(started));
    });
}

void ScreenCaptureManager::begin(std::optional<std::uint32_t> displayID, ScreenRect rect, int width, int height,
                                 int fps) {
    running_ = true;
    displayID_ = displayID;
    rect_ = rect;
    grabFailures_ = 0;
    pool_ = std::make_unique<PixelBufferPool>(width, height);
    interval_ = Duration(1'000'000 / std::max(fps, 1));
    spacing_ = Duration(static_cast<Duration::rep>(static_cast<double>(interval_.count()) / kRateAllowance));
    lastGrab_.reset();
    budgetAt_.reset();
    loggedFirstFrame_ = false;
    captureInput_ = fmt::format("{}x{} pixels at {},{}", rect.width, rect.height, rect.x, rect.y);
    watch();
    log_.info(fmt::format("Capture started display={} input {} → output {}x{}@{}", displayID.value_or(0), captureInput_,
                          width, height, fps));
    grabNow(); // the first picture does not wait for a change
}

void ScreenCaptureManager::watch() {
    const auto weak = weak_from_this();
    GrabberEvents events;
    events.changed = [weak](bool fresh) {
        if (auto self = weak.lock()) self->changed(fresh);
    };
    // Both may be reported from inside a grab: handle them after it, never by grabbing within it.
    events.layoutChanged = [weak, queue = queue_.handle()] {
        queue.post([weak] {
            if (auto self = weak.lock()) self->layoutChanged();
        });
    };
    events.lost = [weak, queue = queue_.handle()](const std::string& why, int code) {
        queue.post([weak, why, code] {
            if (auto self = weak.lock()) self->end(CaptureError::startFailed(why), "X11", code);
        });
    };
    grabber_->watch(rect_, std::move(events));
}

void ScreenCaptureManager::layoutChanged() {
    if (!running_) return;
    relocate(1);
}

// Follows the display to where the new layout put it. While a layout is being rebuilt the display
// may briefly be unlisted: look again for the same 3 s a start allows before calling it gone.
void ScreenCaptureManager::relocate(int attempt) {
    relocate_.cancel();
    if (!running_) return;
    const auto rect = grabber_->displayRect(displayID_);
    if (!rect) {
        if (attempt >= kLookupAttempts) {
            end(CaptureError::displayNotFound(displayID_.value_or(0)), "kiv.capture", 2);
            return;
        }
        relocate_ = queue_.postAfter(kLookupInterval, [weak = weak_from_this(), session = session_, attempt] {
            const auto self = weak.lock();
            if (self && self->session_ == session) self->relocate(attempt + 1);
        });
        return;
    }
    if (*rect == rect_) return;
    rect_ = *rect;
    captureInput_ = fmt::format("{}x{} pixels at {},{}", rect_.width, rect_.height, rect_.x, rect_.y);
    watch();
    log_.info(fmt::format("Capture follows display={} to input {}", displayID_.value_or(0), captureInput_));
    pendingGrab_.cancel();
    grabNow(); // the picture at the new place, without waiting for a redraw
}

void ScreenCaptureManager::end(CaptureError error, const char* domain, int code) {
    if (!running_) return;
    ++session_;
    running_ = false;
    retry_.cancel();
    relocate_.cancel();
    pendingGrab_.cancel();
    grabber_->close();
    pool_.reset();
    if (!onStop) {
        log_.info("Capture stream ended after stop (" + error.text() + ")");
        return;
    }
    log_.info(fmt::format("Capture stream stopped: {} [{} {}]", error.text(), domain, code));
    onStop(std::move(error));
}

void ScreenCaptureManager::changed(bool fresh) {
    if (!running_) return;
    const auto now = queue_.now();
    if (!damagedSince_) damagedSince_ = now;
    freshSinceGrab_ = freshSinceGrab_ || fresh;
    if (pendingGrab_.isPending() && !fresh) return;
    // A budget, not a schedule: a fixed grab schedule busy with something that moves makes every
    // other change wait for its next slot, half an interval on average. The budget (a leaky
    // bucket) lets a grab through at once while it has room for kBurst pictures; each grab takes
    // one spacing of it. An animation at the frame rate leaves room again within a few frames,
    // because the spacing is a little shorter than its interval.
    // A program draws a change in several requests; the grab waits a moment after the first one's
    // damage so it does not catch the picture half drawn (and then wait a frame for the rest).
    const int room = kBurst - 1 + (freshSinceGrab_ ? kFreshAllowance : 0);
    const auto opens = std::max(budgetAt_ ? *budgetAt_ - spacing_ * room : now, *damagedSince_ + kDamageSettle);
    if (pendingGrab_.isPending()) {
        if (opens >= pendingAt_) return;
        pendingGrab_.cancel(); // a fresh change moves the grab waiting for the budget forward
    }
    if (now >= opens) {
        grabNow();
        return;
    }
    pendingAt_ = opens;
    pendingGrab_ = queue_.postAfter(opens - now, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->grabNow();
    });
}

void ScreenCaptureManager::grabNow() {
    if (!running_ || !pool_) return;
    lastGrab_ = queue_.now();
    freshSinceGrab_ = false;
    budgetAt_ = std::max(budgetAt_.value_or(*lastGrab_), *lastGrab_) + spacing_;
    const auto damaged = std::exchange(damagedSince_, std::nullopt).value_or(*lastGrab_);
    auto buffer = pool_->acquire();
    buffer->changes = {}; // a grabber that cannot tell leaves them unknown
    if (!grabber_->grab(rect_, *buffer, true)) {
        // Usually the layout moving under us (its event follows); try again next interval.
        if (++grabFailures_ >= kMaxGrabFailures) {
            end(CaptureError::startFailed(fmt::format("the picture of display {} could not be read {} times in a row",
                                                      displayID_.value_or(0), grabFailures_)),
                "kiv.capture", 1);
            return;
        }
        if (!pendingGrab_.isPending()) {
            pendingAt_ = queue_.now() + interval_;
            pendingGrab_ = queue_.postAfter(interval_, [weak = weak_from_this()] {
                if (auto self = weak.lock()) self->grabNow();
            });
        }
        return;
    }
    grabFailures_ = 0;
    if (monitor_) monitor_->countCaptured();
    if (!loggedFirstFrame_) {
        loggedFirstFrame_ = true;
        log_.info(fmt::format("Capture actual: input {} → first frame {}x{}", captureInput_, buffer->width(),
                              buffer->height()));
    }
    const auto captured = static_cast<std::uint64_t>(queue_.now().count());
    if (FrameTrace::enabled()) {
        using FrameTrace::Stage;
        FrameTrace::mark(captured, Stage::damaged, static_cast<std::uint64_t>(damaged.count()));
        FrameTrace::mark(captured, Stage::grabStarted, static_cast<std::uint64_t>(lastGrab_->count()));
        FrameTrace::mark(captured, Stage::converting, captured - std::min(captured, grabber_->lastConvertMicros()));
        FrameTrace::mark(captured, Stage::captured, captured);
    }
    if (onFrame) onFrame(std::move(buffer), captured);
}

void ScreenCaptureManager::stop() {
    queue_.sync([this] {
        ++session_;
        retry_.cancel();
        relocate_.cancel();
        pendingGrab_.cancel();
        if (!running_) return;
        running_ = false;
        grabber_->close();
        pool_.reset();
        log_.notice("Capture stopped");
    });
}

} // namespace kiv
