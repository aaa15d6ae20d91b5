#pragma once
// A device's stream: frame source → encoder, with the still-screen refiner beside it → video
// sender. Every start builds a new generation, so late frames, stop reports and start replies of
// an old one go nowhere. Main-executor confined; capture, the encoders and the refiner run on
// queues it owns.
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/StaticRefiner.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"
#include "KivProtocol/SessionSettings.hpp"

namespace kiv {

// Why a stream did not start; capture errors are told apart (the device hears permissionMissing).
struct StreamStartError {
    bool isCapture = false;
    std::string text;
};

class StreamPipeline : public std::enable_shared_from_this<StreamPipeline> {
public:
    using Result = std::expected<void, StreamStartError>;

    static std::shared_ptr<StreamPipeline> create(FrameSourceKind sourceKind, HostPlatform& platform, Executor& main,
                                                  std::shared_ptr<PerformanceMonitor> monitor,
                                                  std::shared_ptr<VideoSender> sender);
    // Stops a running generation at once: no frame, report or encoder callback after it.
    ~StreamPipeline();

    // A generation's source stopped by itself (not through stop()). Main executor.
    std::function<void(std::optional<CaptureError>)> onSourceStopped;
    // A generation is running: its source started and a keyframe is on its way. Main executor.
    std::function<void()> onRunning;
    // A generation is about to stop: the last moment its figures can be read. Main executor.
    std::function<void()> beforeStop;

    // Replaces the running generation; `done` runs on main once the source has started or failed,
    // also when a later start has replaced this one meanwhile.
    void start(std::optional<std::uint32_t> displayID, const DisplayConfiguration& config,
               std::function<void(Result)> done);
    void stop();
    // Bit rate and refinement quality, in place.
    void retune(const DisplayConfiguration& config);
    void requestKeyframe();

    bool isRunning() const { return running_.has_value(); }
    // The configuration the running generation encodes.
    std::optional<DisplayConfiguration> configuration() const;
    // The refiner's refinements, bytes and skipped frames since last asked, while refining.
    std::optional<std::tuple<std::int64_t, std::int64_t, std::int64_t>> takeRefinerStats();

    StreamPipeline(FrameSourceKind sourceKind, HostPlatform& platform, Executor& main,
                   std::shared_ptr<PerformanceMonitor> monitor, std::shared_ptr<VideoSender> sender); // use create()

private:
    struct Generation {
        std::shared_ptr<FrameSource> source;
        std::shared_ptr<H264Encoder> encoder;
        std::shared_ptr<StaticRefiner> refiner;
        DisplayConfiguration config;
        std::shared_ptr<std::atomic<bool>> live; // cleared when stopped: late frames go nowhere
    };

    void started(std::int64_t generation, std::expected<void, CaptureError> result,
                 const std::function<void(Result)>& done);

    Executor& main_;
    HostPlatform& platform_;
    const FrameSourceKind sourceKind_;
    KivLogger log_ = KivLog::logger("Session");
    // Queues first: the generation's parts run on them and go before them.
    std::unique_ptr<Executor> encoderQueue_;
    std::unique_ptr<Executor> refinerEncoderQueue_;
    std::unique_ptr<Executor> captureQueue_;
    std::unique_ptr<Executor> refinerQueue_;
    std::shared_ptr<PerformanceMonitor> monitor_;
    std::shared_ptr<VideoSender> sender_;
    std::optional<Generation> running_;
    std::int64_t generation_ = 0;
};

} // namespace kiv
