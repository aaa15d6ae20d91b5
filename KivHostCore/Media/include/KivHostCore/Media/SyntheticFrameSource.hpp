#pragma once
// A moving test pattern that needs no screen: a vertical luma gradient with a white bar 120 pixels
// wide moving 16 pixels a frame, and a chroma value cycling every 60 frames. Optionally it holds
// still after some frames (for good, or for a number of ticks), to exercise still-screen paths.
#include <optional>

#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class SyntheticFrameSource final : public FrameSource, public std::enable_shared_from_this<SyntheticFrameSource> {
public:
    // `queue` is the source's own ("kiv.synthetic"); frames are delivered on it.
    static std::shared_ptr<SyntheticFrameSource> create(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor,
                                                        std::optional<std::int64_t> staticAfterFrames = std::nullopt,
                                                        std::optional<std::int64_t> staticTicks = std::nullopt);

    void start(std::optional<std::uint32_t> displayID, int width, int height, int fps, Started started) override;
    void stop() override;

    // Draws frame `index` of the pattern (exposed so tests can check pixels).
    static void draw(PixelBuffer& buffer, std::int64_t index);

    SyntheticFrameSource(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor,
                         std::optional<std::int64_t> staticAfterFrames,
                         std::optional<std::int64_t> staticTicks); // use create()

private:
    void produce();
    void schedule();

    Executor& queue_;
    std::shared_ptr<PerformanceMonitor> monitor_;
    const std::optional<std::int64_t> staticAfterFrames_;
    const std::optional<std::int64_t> staticTicks_;
    // Queue-confined.
    std::unique_ptr<PixelBufferPool> pool_;
    ScopedTimer timer_;
    Duration interval_{};
    MonotonicTime nextTick_{};
    std::int64_t frameIndex_ = 0;
    std::int64_t tick_ = 0;
};

} // namespace kiv
