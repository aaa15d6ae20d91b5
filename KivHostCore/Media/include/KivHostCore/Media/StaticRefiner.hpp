#pragma once
// When the screen has been still for a moment after a change, encodes the last picture once more
// at constant quality (a sharp keyframe) and hands it to the sender; the main encoder is then asked
// to make its next frame a keyframe (forceKeyframeOnNextFrame: re-sending the still picture would
// overwrite the sharp one with a soft one). A main frame arriving while the refinement encodes
// makes it stale, and every main keyframe is followed by a refinement once the screen is still
// again. Everything runs on its queue ("kiv.refiner").
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <tuple>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"

namespace kiv {

class StaticRefiner : public std::enable_shared_from_this<StaticRefiner> {
public:
    struct Configuration {
        double quality = 0.85; // <= 0: refinement off
        double idleDelay = 0.4;
        double minInterval = 1.5;
        std::int64_t minChangeBytes = 16384;
        bool operator==(const Configuration&) const = default;
    };
    static constexpr std::int64_t kLargeChange = 2'147'483'647;

    // The refinement encoder is created lazily from `factory` on `encoderQueue`.
    static std::shared_ptr<StaticRefiner> create(int width, int height, Configuration configuration, Executor& queue,
                                                 EncoderFactory& factory, Executor& encoderQueue);

    std::function<void(EncodedFrame)> onRefined;
    std::function<void()> onNeedMainKeyframe;

    void noteCaptured(std::shared_ptr<PixelBuffer> buffer);
    void noteMainFrameEncoded(std::int64_t bytes, bool isKeyframe);
    void update(double quality);
    std::tuple<std::int64_t, std::int64_t, std::int64_t> takeStats(); // refinements, bytes, skipped
    void invalidate();

    StaticRefiner(int width, int height, Configuration configuration, Executor& queue, EncoderFactory& factory,
                  Executor& encoderQueue); // use create()

private:
    void restartTimer(Duration delay);
    void refine();
    void emit(EncodedFrame frame);

    const int width_;
    const int height_;
    Executor& queue_;             // its own; used from its tasks
    const ExecutorHandle handle_; // for the capture and encoder threads' calls
    EncoderFactory& factory_;
    Executor& encoderQueue_;
    KivLogger log_ = KivLog::logger("Refiner");
    // Queue-confined.
    Configuration configuration_;
    std::shared_ptr<H264Encoder> encoder_;
    std::shared_ptr<PixelBuffer> lastBuffer_;
    ScopedTimer timer_;
    bool refinedSinceLastMainFrame_ = false;
    std::int64_t generation_ = 0;
    std::int64_t refiningGeneration_ = -1;
    bool invalidated_ = false;
    // Written on the queue, taken from the main thread without waiting for it.
    std::atomic<std::int64_t> refinements_{0};
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> skipped_{0};
    std::int64_t changeBytesSinceRefine_ = 0;
    std::optional<MonotonicTime> lastRefineAt_;
};

} // namespace kiv
