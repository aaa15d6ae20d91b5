#pragma once
// The per-session pacer between the encoder and the current link: a queue of at most 3 frames,
// bytes in flight limited to about 150 ms of video (at least 256 KiB, doubled on USB), and on
// congestion the backlog is thrown away and the sender waits for a keyframe instead of letting
// latency grow. Every entry point hops onto its queue ("kiv.video").
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Platform/HostTransport.hpp"

namespace kiv {

class VideoSender : public std::enable_shared_from_this<VideoSender> {
public:
    static constexpr std::size_t kMaxPending = 3;
    static constexpr std::int64_t kBudgetMilliseconds = 150;
    static constexpr std::int64_t kMinBudgetBytes = 256 * 1024;

    static std::shared_ptr<VideoSender> create(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor);

    // Asks the encoder for a keyframe; runs on the sender's queue. Set before frames flow.
    std::function<void()> onNeedKeyframe;

    void setTransport(std::shared_ptr<HostTransport> transport);
    void updateBitrate(std::int64_t bitsPerSecond);
    void setPaused(bool paused);
    void send(EncodedFrame frame);
    void sendRefinement(EncodedFrame frame);
    // (bytes in flight, frames pending) as of the sender's last step; never waits for its queue.
    std::pair<std::int64_t, std::int64_t> queueState() const;

    // 150 ms of video at the bit rate, at least 256 KiB; doubled on USB.
    static std::int64_t budgetFor(std::int64_t bitsPerSecond, std::optional<TransportKind> link);

    VideoSender(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor); // use create()

private:
    void onQueue(std::function<void(VideoSender&)> work);
    void sendOnQueue(EncodedFrame frame);
    void refineOnQueue(EncodedFrame frame);
    void drain();
    void skip(std::int64_t frames);
    // A frame the device will not be able to decode: drop the backlog and ask for a keyframe once.
    void lost(const char* why);
    void updateBudget();
    void publishQueueState();

    const ExecutorHandle queue_; // completions reach it from the links' threads
    std::shared_ptr<PerformanceMonitor> monitor_;
    KivLogger log_ = KivLog::logger("VideoSender");
    // Queue-confined state.
    std::shared_ptr<HostTransport> transport_;
    std::int64_t generation_ = 0;
    std::deque<EncodedFrame> pending_;
    std::int64_t inFlightBytes_ = 0;
    std::int64_t bitrate_ = 8'000'000;
    std::int64_t budgetBytes_ = 524'288;
    bool waitingForKeyframe_ = true;
    bool paused_ = false;
    LogThrottle dropThrottle_{3, 5'000'000};
    std::atomic<std::int64_t> publishedInFlight_{0};
    std::atomic<std::int64_t> publishedPending_{0};
};

} // namespace kiv
