#pragma once
// Turns captured pictures into H.264 frames for an interactive display: no reordering, one picture
// encoding and one waiting at most (a newer picture takes the waiting one's place, so a slow
// encoder skips pictures but always gets to the newest), keyframes on request (re-encoding the last
// picture after two frame times on a still screen), bit rate changed in place. With a quality it is
// the still-image encoder: every frame a keyframe.
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/EncoderBackend.hpp"
#include "KivHostCore/Platform/PixelBuffer.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace kiv {

struct H264EncoderError {
    enum class Kind { sessionCreate, prepare, hardwareUnavailable };
    Kind kind = Kind::sessionCreate;
    std::int32_t status = 0;
    std::string detail;
    std::string text() const;
};

class H264Encoder : public std::enable_shared_from_this<H264Encoder> {
public:
    struct Configuration {
        int width = 0;
        int height = 0;
        int fps = 30;
        std::int64_t bitrate = 8'000'000;
        double keyframeIntervalSeconds = 2.0;
        std::optional<double> refinementQuality;
        bool operator==(const Configuration&) const = default;
    };
    // Failed encodes in a row that make the encoder report itself broken (it keeps trying).
    static constexpr int kFailureReportThreshold = 5;
    static constexpr int kSharpenPassesLeast = 4; // after a keyframe, at 10 a second or more

    // `queue` is the encoder's own ("kiv.encoder").
    static std::expected<std::shared_ptr<H264Encoder>, H264EncoderError>
    create(Configuration configuration, EncoderFactory& factory, Executor& queue,
           std::shared_ptr<PerformanceMonitor> monitor);

    // Called on the encoder's queue with each finished frame. Set before frames flow.
    std::function<void(EncodedFrame)> onEncoded;
    // Called on the encoder's queue once per streak of kFailureReportThreshold failed encodes in
    // a row (the platform status of the last one): frames are being lost, the owner decides
    // whether to open a new encoder. Set before frames flow.
    std::function<void(std::int32_t status)> onFailure;

    // Any thread; never blocks on encoding. A picture still waiting for the encoder is replaced.
    void encode(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs);
    // A keyframe as soon as possible, even on a still screen: after two frame times without a new
    // picture the last one is encoded again as a keyframe. For a device that lost the stream.
    void requestKeyframe();
    // Only the next captured picture becomes a keyframe; nothing is re-sent on a still screen.
    // For when a picture is coming anyway, or when re-sending the last one would overwrite a
    // sharper picture the device already shows (after a refinement).
    void forceKeyframeOnNextFrame();
    void setBitrate(std::int64_t bitrate);
    // Any thread, without waiting for an encode or the teardown: once it returns, no frame or
    // failure is reported any more (it waits at most for one report in progress to be handed
    // over). The backend is closed later on the encoder's queue.
    void invalidate();
    const Configuration& configuration() const { return configuration_; }
    int inFlight() const; // pictures encoding or waiting: 0, 1 or 2

    // The backend's frame-count interval for a configuration: max(trunc(seconds x fps), 1); 1 for stills.
    static int keyframeIntervalFrames(const Configuration& configuration);

    H264Encoder(Configuration configuration, std::unique_ptr<EncoderBackend> backend, Executor& queue,
                std::shared_ptr<PerformanceMonitor> monitor); // use create()

private:
    void run(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs);
    void submit(std::shared_ptr<PixelBuffer> buffer, std::uint64_t captureTimeUs);
    void sharpenStillPicture();
    void report(EncodedFrame frame);
    void reportFailure(std::int32_t status);

    const Configuration configuration_;
    std::unique_ptr<EncoderBackend> backend_;
    Executor& queue_;             // the encoder's own; used only from its tasks
    const ExecutorHandle handle_; // for calls from other threads (capture, sender, refiner)
    std::shared_ptr<PerformanceMonitor> monitor_;
    KivLogger log_ = KivLog::logger("Encoder");
    mutable std::mutex inFlightMutex_;
    bool running_ = false; // a picture is posted to the queue or encoding
    std::optional<std::pair<std::shared_ptr<PixelBuffer>, std::uint64_t>> waiting_; // the next one
    // Queue-confined.
    bool forceKeyframe_ = false;
    std::atomic<bool> keyframeRequestQueued_{false}; // any thread
    std::shared_ptr<PixelBuffer> lastPixelBuffer_;
    std::uint64_t lastPTSUs_ = 0;
    // Guards the reports against invalidate(): a report is handed over under it, so none starts
    // after invalidate() returned. Held only while handing one over.
    std::mutex reportMutex_;
    std::atomic<bool> invalidated_{false};
    int failuresInARow_ = 0;
    ScopedTimer keyframeRetry_;
    // After a keyframe of a still screen, passes of the same picture left to sharpen it with.
    int sharpenPasses_ = 0;
    ScopedTimer sharpenPass_;
};

} // namespace kiv
