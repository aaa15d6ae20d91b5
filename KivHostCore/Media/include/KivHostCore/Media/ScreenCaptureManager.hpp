#pragma once
// Captures one display: a change inside its rectangle is grabbed a moment after it starts (the
// settle that lets a change drawn in several requests land whole), not at the next slot of a
// schedule; while nothing changes nothing is delivered. The rate is held by a budget rather than a
// clock: pictures come at most a little faster than the frame rate on average, and a change that
// comes between two pictures of something moving elsewhere may take one more at once. The
// rectangle follows the display when the desktop is laid out again (another display created,
// resized or removed). A display that stays gone, grabs that keep failing and a lost desktop end
// the source through onStop. Runs on its queue ("kiv.capture").
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
    // How long a grab waits after a change's first damage for the rest of it: the requests a
    // program sends together for one change are handled well within this.
    static constexpr Duration kDamageSettle = std::chrono::microseconds(400);
    // The budget: one picture per interval / kRateAllowance on average, and up to kBurst at once.
    // The allowance above the frame rate is what lets a change between two pictures of a 60 Hz
    // animation be grabbed when it comes instead of at the animation's next picture.
    static constexpr double kRateAllowance = 1.125;
    static constexpr int kBurst = 2;
    // A fresh change (away from all that moved lately: a key typed while a video plays) may go
    // beyond that, ahead of the next picture of what keeps moving, which then waits that much
    // longer: the average holds, and the change does not queue behind the animation. Two: the
    // change, and its rest when a grab caught it half drawn.
    static constexpr int kFreshAllowance = 2;

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
    void changed(bool fresh);
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
    Duration spacing_{};                        // interval / kRateAllowance
    std::optional<MonotonicTime> budgetAt_;     // when the budget is spent up to: one spacing further per grab
    std::optional<MonotonicTime> damagedSince_; // the first redraw not grabbed yet (frame trace)
    bool freshSinceGrab_ = false;               // a redraw since the last grab was fresh
    ScopedTimer pendingGrab_;
    MonotonicTime pendingAt_{}; // when pendingGrab_ fires
    ScopedTimer retry_;
    ScopedTimer relocate_;
    bool loggedFirstFrame_ = false;
    std::string captureInput_;
};

} // namespace kiv
