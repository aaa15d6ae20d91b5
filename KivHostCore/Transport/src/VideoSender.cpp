#include "KivHostCore/Transport/VideoSender.hpp"

#include <fmt/format.h>

#include "KivHostCore/Metrics/FrameTrace.hpp"

namespace kiv {

std::shared_ptr<VideoSender> VideoSender::create(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor) {
    return std::make_shared<VideoSender>(queue, std::move(monitor));
}

VideoSender::VideoSender(Executor& queue, std::shared_ptr<PerformanceMonitor> monitor)
    : queue_(queue.handle()), monitor_(std::move(monitor)) {}

std::int64_t VideoSender::budgetFor(std::int64_t bitsPerSecond, std::optional<TransportKind> link) {
    const std::int64_t bytesPerSecond = bitsPerSecond / 8;
    std::int64_t budget = std::max(kMinBudgetBytes, bytesPerSecond * kBudgetMilliseconds / 1000);
    if (link == TransportKind::usb) budget *= 2; // the tunnel's own buffering sits inside the budget
    return budget;
}

void VideoSender::onQueue(std::function<void(VideoSender&)> work) {
    queue_.post([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) {
            work(*self);
            self->publishQueueState();
        }
    });
}

void VideoSender::setTransport(std::shared_ptr<HostTransport> transport) {
    onQueue([transport = std::move(transport)](VideoSender& self) {
        self.transport_ = transport;
        ++self.generation_;
        self.pending_.clear();
        self.inFlightBytes_ = 0;
        self.waitingForKeyframe_ = true;
        self.updateBudget();
    });
}

void VideoSender::updateBitrate(std::int64_t bitsPerSecond) {
    onQueue([bitsPerSecond](VideoSender& self) {
        self.bitrate_ = bitsPerSecond;
        self.updateBudget();
    });
}

void VideoSender::setPaused(bool paused) {
    onQueue([paused](VideoSender& self) {
        self.paused_ = paused;
        self.pending_.clear();
        self.waitingForKeyframe_ = true;
    });
}

void VideoSender::send(EncodedFrame frame) {
    onQueue([frame = std::move(frame)](VideoSender& self) mutable { self.sendOnQueue(std::move(frame)); });
}

void VideoSender::sendRefinement(EncodedFrame frame) {
    onQueue([frame = std::move(frame)](VideoSender& self) mutable { self.refineOnQueue(std::move(frame)); });
}

std::pair<std::int64_t, std::int64_t> VideoSender::queueState() const {
    return {publishedInFlight_.load(), publishedPending_.load()};
}

void VideoSender::publishQueueState() {
    publishedInFlight_ = inFlightBytes_;
    publishedPending_ = static_cast<std::int64_t>(pending_.size());
}

void VideoSender::updateBudget() {
    budgetBytes_ = budgetFor(bitrate_, transport_ ? std::optional(transport_->kind()) : std::nullopt);
}

void VideoSender::skip(std::int64_t frames) {
    if (monitor_ && frames > 0) monitor_->countSkippedSend(frames);
}

void VideoSender::sendOnQueue(EncodedFrame frame) {
    if (!transport_ || !transport_->isVideoReady() || paused_) return;
    if (waitingForKeyframe_ && !frame.isKeyframe) {
        skip(1);
        return;
    }
    if (waitingForKeyframe_ || frame.isKeyframe) {
        // A keyframe supersedes everything queued before it.
        skip(static_cast<std::int64_t>(pending_.size()));
        pending_.clear();
        waitingForKeyframe_ = false;
    }
    pending_.push_back(std::move(frame));
    if (pending_.size() <= kMaxPending) {
        drain();
        return;
    }
    if (monitor_) monitor_->countDroppedSend(static_cast<std::int64_t>(pending_.size()));
    pending_.clear();
    waitingForKeyframe_ = true;
    const auto [allowed, suppressed] =
        dropThrottle_.allow(static_cast<std::uint64_t>(queue_.now().value_or(MonotonicTime{}).count()));
    if (suppressed > 0) log_.warning(fmt::format("({} send backlog events suppressed)", suppressed));
    if (allowed) {
        const std::string_view link = transport_ ? name(transport_->kind()) : "-";
        log_.warning(fmt::format("Send backlog overflow on {} (in-flight {}KB > budget {}KB): dropped queued frames, "
                                 "waiting for keyframe",
                                 link, inFlightBytes_ / 1024, budgetBytes_ / 1024));
    }
    if (onNeedKeyframe) onNeedKeyframe();
}

void VideoSender::lost(const char* why) {
    if (monitor_) monitor_->countDroppedSend(1 + static_cast<std::int64_t>(pending_.size()));
    pending_.clear();
    if (waitingForKeyframe_) return; // already asked
    waitingForKeyframe_ = true;
    const auto [allowed, suppressed] =
        dropThrottle_.allow(static_cast<std::uint64_t>(queue_.now().value_or(MonotonicTime{}).count()));
    if (suppressed > 0) log_.warning(fmt::format("({} send backlog events suppressed)", suppressed));
    if (allowed) log_.warning(fmt::format("Video frame lost: {}; waiting for keyframe", why));
    if (onNeedKeyframe) onNeedKeyframe();
}

void VideoSender::refineOnQueue(EncodedFrame frame) {
    if (!transport_ || !transport_->isVideoReady() || paused_ || !frame.isKeyframe) return;
    skip(static_cast<std::int64_t>(pending_.size()));
    pending_.clear();
    pending_.push_back(std::move(frame));
    waitingForKeyframe_ = true; // ordinary frames wait for the encoder's next keyframe
    drain();
}

void VideoSender::drain() {
    if (!transport_) {
        pending_.clear();
        return;
    }
    const std::int64_t generation = generation_;
    while (!pending_.empty() && inFlightBytes_ <= budgetBytes_) {
        EncodedFrame frame = std::move(pending_.front());
        pending_.pop_front();
        const std::int64_t sent =
            transport_->sendVideo(frame, [weak = weak_from_this(), queue = queue_, generation,
                                          captured = frame.captureTimeUs](std::int64_t bytes, bool complete) {
                if (complete && FrameTrace::enabled())
                    if (const auto now = queue.now())
                        FrameTrace::mark(captured, FrameTrace::Stage::sent, static_cast<std::uint64_t>(now->count()));
                queue.post([weak, generation, bytes, complete] {
                    const auto sender = weak.lock();
                    if (!sender || sender->generation_ != generation) return; // a late completion of an old link
                    sender->inFlightBytes_ -= bytes;
                    if (!complete) sender->lost("part of a frame was dropped by the link");
                    if (!sender->pending_.empty()) sender->drain();
                    sender->publishQueueState();
                });
            });
        if (sent == 0) {
            // A link that takes video but refused this frame (too large for it) gets a keyframe;
            // a link without video yet simply waits for one.
            if (transport_->isVideoReady()) {
                lost("the link refused a frame");
                return;
            }
            pending_.clear();
            waitingForKeyframe_ = true;
            return;
        }
        inFlightBytes_ += sent;
    }
}

} // namespace kiv
