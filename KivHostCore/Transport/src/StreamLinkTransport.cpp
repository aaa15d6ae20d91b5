#include "KivHostCore/Transport/StreamLinkTransport.hpp"

#include <fmt/format.h>

#include "KivHostCore/Platform/SecureRandom.hpp"
#include "KivProtocol/ControlFraming.hpp"

namespace kiv {

std::shared_ptr<USBTransport> USBTransport::create(std::shared_ptr<Connection> connection, USBDeviceInfo device,
                                                   Executor& clock) {
    return std::make_shared<USBTransport>(std::move(connection), std::move(device), clock);
}

USBTransport::USBTransport(std::shared_ptr<Connection> connection, USBDeviceInfo device, Executor& clock)
    : StreamLinkTransport(std::move(connection), TransportKind::usb, "USB · " + device.shortID(), device.shortID(),
                          clock),
      device_(std::move(device)) {}

std::shared_ptr<WebTransport> WebTransport::create(std::shared_ptr<Connection> connection, Executor& clock) {
    auto address = LocalNetwork::describe(connection->remoteEndpoint());
    return std::make_shared<WebTransport>(std::move(connection), std::move(address), clock);
}

WebTransport::WebTransport(std::shared_ptr<Connection> connection, std::string address, Executor& clock)
    : StreamLinkTransport(std::move(connection), TransportKind::web, address, address, clock) {}

StreamLinkTransport::StreamLinkTransport(std::shared_ptr<Connection> connection, TransportKind kind,
                                         std::string remoteAddress, std::string metricsDevice, Executor& clock)
    : id_(newUUID()), kind_(kind), remoteAddress_(std::move(remoteAddress)), metricsDevice_(std::move(metricsDevice)),
      stream_(FramedStream::create(std::move(connection), remoteAddress_)), clock_(clock.handle()),
      lastMetrics_(clock.now()) {}

void StreamLinkTransport::setOnControl(std::function<void(const ControlMessage&)> handler) {
    handlers_.control.set(std::move(handler));
}

void StreamLinkTransport::setOnClosed(std::function<void(const std::string& reason)> handler) {
    handlers_.closed.set(std::move(handler));
}

void StreamLinkTransport::setOnVideoReady(std::function<void()> handler) {
    handlers_.videoReady.set(std::move(handler));
}

void StreamLinkTransport::start(Executor& queue) {
    {
        const std::lock_guard lock(mutex_);
        queue_ = queue.handle();
    }
    stream_->onItem = [weak = weak_from_this()](StreamItem item) {
        const auto self = weak.lock();
        const auto* message = std::get_if<ControlMessage>(&item.value);
        if (!self || !message) return;
        self->receivedControl_ = true;
        self->handlers_.control(*message);
    };
    stream_->onClosed = [weak = weak_from_this()](const std::string& reason) {
        if (const auto self = weak.lock()) self->handlers_.closed(reason);
    };
    stream_->start(queue);
}

void StreamLinkTransport::sendControl(const ControlMessage& message) {
    if (auto frame = ControlFraming::encode(message)) stream_->send(std::move(*frame));
}

void StreamLinkTransport::close(const std::optional<ControlMessage>& after) {
    endVideo();
    stream_->close(after);
}

void StreamLinkTransport::beginVideo(std::uint32_t, std::uint64_t) {
    ExecutorHandle linkQueue;
    {
        const std::lock_guard lock(mutex_);
        if (videoOn_) return;
        videoOn_ = true;
        linkQueue = queue_;
    }
    // The stream is already there: video is ready at once, reported on the link's queue.
    linkQueue.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->handlers_.videoReady();
    });
}

void StreamLinkTransport::endVideo() {
    const std::lock_guard lock(mutex_);
    videoOn_ = false;
}

bool StreamLinkTransport::isVideoReady() const {
    const std::lock_guard lock(mutex_);
    return videoOn_ && !stream_->isClosed();
}

std::int64_t StreamLinkTransport::sendVideo(const EncodedFrame& frame, VideoCompletion completion) {
    std::uint32_t frameID = 0;
    {
        const std::lock_guard lock(mutex_);
        if (!videoOn_ || stream_->isClosed()) return 0;
        frameID = nextFrameID_;
    }
    // An item the device's reader would refuse would end the whole link: refuse the frame instead.
    auto item = StreamFraming::encodeVideo(frameID, frame.isKeyframe, frame.captureTimeUs, frame.data);
    if (!item) {
        log_.warning(fmt::format("Video frame of {} bytes refused: more than {} bytes cannot be sent over {}",
                                 frame.data.size(), StreamFraming::kMaxVideoBody - StreamFraming::kVideoHeaderBytes,
                                 name(kind_)));
        return 0;
    }
    {
        const std::lock_guard lock(mutex_);
        ++nextFrameID_;
    }
    const auto size = static_cast<std::int64_t>(item->size());
    *inFlight_ += size;
    stream_->send(std::move(*item),
                  [inFlight = inFlight_, size, completion = std::move(completion)](const NetworkError& error) {
                      *inFlight -= size;
                      completion(size, !error);
                  });
    return size;
}

bool StreamLinkTransport::sendAudio(Bytes item, std::function<void()> completion) {
    if (stream_->isClosed()) return false;
    stream_->send(std::move(item), [completion = std::move(completion)](const NetworkError&) {
        if (completion) completion();
    });
    return true;
}

TransportMetrics StreamLinkTransport::takeMetrics() {
    const auto counters = stream_->takeCounters();
    const std::lock_guard lock(mutex_);
    const auto current = now();
    const double elapsedUs = std::max(1.0, static_cast<double>((current - lastMetrics_).count()));
    lastMetrics_ = current;
    TransportMetrics metrics(kind_, metricsDevice_);
    metrics.throughputMbps = static_cast<double>(counters.bytesOut) * 8.0 / elapsedUs;
    metrics.sendQueueBytes = inFlight_->load();
    metrics.receiveQueueBytes = counters.buffered;
    return metrics;
}

} // namespace kiv
