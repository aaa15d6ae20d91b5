#pragma once
// Captures one display: a change inside its rectangle triggers a grab at once, but never sooner
// than one frame interval after the previous grab, so a change waits at most one interval and
// usually none; while nothing changes nothing is delivered. The rectangle follows the display
// when the desktop is laid out again (another display created, resized or removed). A display
// that stays gone, grabs that keep failing and a lost desktop end the source through onStop.
// Runs on its queue ("kiv.capture").
#include <memory>
#include <optional>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/ScreenGrabber.hpp"

namespace kiv {

class ScreenCaptureManager final : public FrameSource, public std::enable_shared_from_this<ScreenCaptureManager> {
public:
    static constexpr int kLookupAttempts = 30;
    static constexpr Duration kLookupInterval = std::chrono::milliseconds(100);
    // Consecutive failed grabs (retried every frame interval) before the source gives up.
    static constexpr int kMaxGrabFailures = 5;
    static constexpr Duration kDamageSettle = std::chrono::microseconds(1000);

    static std::shared_ptr<ScreenCaptureManager> create(std::unique_ptr<ScreenGrabber> grabber, Executor& queue,
                                                        std::shared_ptr<PerformanceMonitor> monitor);

    void start(std::optional<std::uint32_t> displayID, int width, int height, int fps, Started started) override;
    void stop() override;

    ScreenCaptureManager(std::unique_ptr<ScreenGrabber> grabber, Executor& queue,
                         std::shared_ptr<PerformanceMonitor> monitor);

private:
    void lookup(std::optional<std::uint32_t> displayID, int width, int height, int fps, int attempt, Started started);
    void begin(std::optional<std::uint32_t> displayID, ScreenRect rect, int width, int height, int fps);
    void watch();
    void changed();
    void grabNow();
    void layoutChanged();
    void relocate(int attempt);
    void end(CaptureError error, const char* domain, int code);

    std::unique_ptr<ScreenGrabber> grabber_;
    Executor& queue_;
    std::shared_ptr<PerformanceMonitor> monitor_;
    KivLogger log_ = KivLog::logger("Capture");
    // Queue-confined.
    bool running_ = false;
    std::uint64_t session_ = 0; // bumped by start and stop: late retries of an old start do nothing
    std::optional<std::uint32_t> displayID_;
    ScreenRect rect_;
    int grabFailures_ = 0;
    std::unique_ptr<PixelBufferPool> pool_;
    Duration interval_{};
    std::optional<MonotonicTime> lastGrab_;
    std::optional<MonotonicTime> due_;          // the grab schedule: one interval further per grab
    std::optional<MonotonicTime> damagedSince_; // the first redraw not grabbed yet (frame trace)
    ScopedTimer pendingGrab_;
    ScopedTimer retry_;
    ScopedTimer relocate_;
    bool loggedFirstFrame_ = false;
    std::string captureInput_;
};

} // namespace kiv
