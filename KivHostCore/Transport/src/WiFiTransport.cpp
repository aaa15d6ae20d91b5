#include "KivHostCore/Transport/WiFiTransport.hpp"

#include <fmt/format.h>

#include "KivHostCore/Platform/SecureRandom.hpp"
#include "KivHostCore/Transport/UDPVideoListener.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/KivConstants.hpp"

namespace kiv {

std::shared_ptr<WiFiTransport> WiFiTransport::create(std::shared_ptr<Connection> connection,
                                                     std::weak_ptr<UDPVideoListener> udpListener, Executor& clock,
                                                     double simulatedPacketLoss) {
    return std::make_shared<WiFiTransport>(std::move(connection), std::move(udpListener), clock, simulatedPacketLoss);
}

WiFiTransport::WiFiTransport(std::shared_ptr<Connection> connection, std::weak_ptr<UDPVideoListener> udpListener,
                             Executor& clock, double simulatedPacketLoss)
    : id_(newUUID()), remoteAddress_(LocalNetwork::describe(connection->remoteEndpoint())),
      stream_(FramedStream::create(std::move(connection), remoteAddress_)), udpListener_(std::move(udpListener)),
      clock_(clock.handle()), simulatedPacketLoss_(simulatedPacketLoss), lastMetrics_(clock.now()) {}

void WiFiTransport::setOnControl(std::function<void(const ControlMessage&)> handler) {
    handlers_.control.set(std::move(handler));
}

void WiFiTransport::setOnClosed(std::function<void(const std::string& reason)> handler) {
    handlers_.closed.set(std::move(handler));
}

void WiFiTransport::setOnVideoReady(std::function<void()> handler) {
    handlers_.videoReady.set(std::move(handler));
}

void WiFiTransport::start(Executor& queue) {
    {
        const std::lock_guard lock(mutex_);
        queue_ = queue.handle();
    }
    stream_->onItem = [weak = weak_from_this()](StreamItem item) {
        const auto self = weak.lock();
        if (!self) return;
        // Video and audio items from the device are not expected on Wi-Fi and are ignored.
        if (const auto* message = std::get_if<ControlMessage>(&item.value)) {
            self->receivedControl_ = true;
            self->noteLoss(*message);
            self->handlers_.control(*message);
        }
    };
    stream_->onClosed = [weak = weak_from_this()](const std::string& reason) {
        const auto self = weak.lock();
        if (!self) return;
        self->endVideo();
        self->handlers_.closed(reason);
    };
    stream_->start(queue);
}

void WiFiTransport::sendTail(std::uint32_t frameID) {
    std::shared_ptr<DatagramFlow> flow;
    std::vector<std::uint8_t> copy;
    std::vector<ByteView> outgoing;
    {
        const std::lock_guard lock(mutex_);
        if (!udp_ || tail_.empty() || tailFrameID_ != frameID || packetizer_.nextFrameID() != frameID + 1) return;
        flow = udp_;
        copy = std::exchange(tail_, {});
        for (std::size_t i = 0; i < tailOffsets_.size(); ++i) {
            const std::size_t end = i + 1 < tailOffsets_.size() ? tailOffsets_[i + 1] : copy.size();
            const std::span datagram(copy.data() + tailOffsets_[i], end - tailOffsets_[i]);
            packetizer_.renumber(datagram);
            videoBytes_ += static_cast<std::int64_t>(datagram.size());
            if (!withheld(tailRandom_)) outgoing.emplace_back(datagram);
        }
        tailOffsets_.clear();
    }
    // A copy that does not go loses nothing the first one did not.
    if (!outgoing.empty()) flow->sendBatch(outgoing);
}

void WiFiTransport::noteLoss(const ControlMessage& message) {
    const std::lock_guard lock(mutex_);
    if (const auto* stats = std::get_if<ClientStats>(&message.value)) repeat_.reportedLoss(stats->packetLoss, now());
    if (const auto* idr = std::get_if<RequestIDR>(&message.value); idr && idr->reason == IDRReason::packetLoss)
        repeat_.lostFrame(now());
}

void WiFiTransport::sendControl(const ControlMessage& message) {
    if (auto frame = ControlFraming::encode(message)) stream_->send(std::move(*frame));
}

void WiFiTransport::close(const std::optional<ControlMessage>& after) {
    endVideo();
    stream_->close(after);
}

void WiFiTransport::beginVideo(std::uint32_t sessionID, std::uint64_t key) {
    {
        const std::lock_guard lock(mutex_);
        const std::pair identity{sessionID, key};
        if (registration_ != identity) { // an identical repeat keeps numbering
            packetizer_ = FramePacketizer(sessionID);
            tail_.clear(); // a frame of the old numbering
            registeredAt_ = now();
            heardForRegistration_ = false;
        }
        registration_ = identity;
    }
    if (auto listener = udpListener_.lock()) listener->registerLink(shared_from_this(), sessionID, key);
}

void WiFiTransport::endVideo() {
    if (auto listener = udpListener_.lock()) listener->unregisterLink(id_);
    std::shared_ptr<DatagramFlow> old;
    {
        const std::lock_guard lock(mutex_);
        old = std::exchange(udp_, nullptr);
        registration_.reset();
        tail_.clear();
    }
    if (old) old->cancel();
}

void WiFiTransport::noteKeepalive(const std::shared_ptr<DatagramFlow>& flow, std::uint32_t sessionID,
                                  std::uint64_t key) {
    std::shared_ptr<DatagramFlow> replaced;
    ExecutorHandle linkQueue;
    {
        const std::lock_guard lock(mutex_);
        // The listener matched a registration that may have ended since (endVideo, a new key):
        // only the identity current under this lock may adopt a flow.
        if (registration_ != std::pair{sessionID, key}) return;
        lastKeepalive_ = now();
        heardForRegistration_ = true;
        if (udp_ == flow) return;
        replaced = std::exchange(udp_, flow);
        linkQueue = queue_;
    }
    if (replaced) replaced->cancel();
    log_.notice("Video client attached " + LocalNetwork::describe(flow->remoteEndpoint()) + " (UDP)");
    // Heard on the UDP listener's queue; reported on the link's, like every other handler.
    linkQueue.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->handlers_.videoReady();
    });
}

bool WiFiTransport::hasAdopted(const DatagramFlow& flow) const {
    const std::lock_guard lock(mutex_);
    return udp_.get() == &flow;
}

std::shared_ptr<DatagramFlow> WiFiTransport::detachIfSilent(Duration timeout) {
    const std::lock_guard lock(mutex_);
    if (!udp_ || (lastKeepalive_ && now() - *lastKeepalive_ <= timeout)) return nullptr;
    return std::exchange(udp_, nullptr);
}

bool WiFiTransport::neverHeardFor(Duration timeout) {
    const std::lock_guard lock(mutex_);
    if (!registration_ || heardForRegistration_ || now() - registeredAt_ < timeout) return false;
    heardForRegistration_ = true;
    return true;
}

bool WiFiTransport::isVideoReady() const {
    const std::lock_guard lock(mutex_);
    return udp_ && lastKeepalive_ && now() - *lastKeepalive_ <= kVideoReadyWindow;
}

std::int64_t WiFiTransport::sendVideo(const EncodedFrame& frame, VideoCompletion completion) {
    // The device's reassembler gives up on frames above this size: refuse them here instead.
    const bool tooLarge = frame.data.size() > static_cast<std::size_t>(KivConstants::maxFrameSize);
    std::shared_ptr<DatagramFlow> flow;
    {
        const std::lock_guard lock(mutex_);
        if (!udp_) return 0;
        if (!tooLarge) {
            flow = udp_;
            packetizer_.packetize(frame, batch_);
            tail_.clear();
            tailOffsets_.clear();
            const auto current = now();
            if (repeat_.repeats(batch_.size(), current)) {
                packetizer_.repeat(batch_);
            } else if (repeat_.lossy(current)) {
                for (const auto datagram : batch_) {
                    tailOffsets_.push_back(static_cast<std::uint32_t>(tail_.size()));
                    tail_.insert(tail_.end(), datagram.begin(), datagram.end());
                }
                tailFrameID_ = packetizer_.nextFrameID() - 1;
                clock_.postAfter(VideoRepeat::kTailAfter, [weak = weak_from_this(), id = tailFrameID_] {
                    if (auto self = weak.lock()) self->sendTail(id);
                });
            }
        }
    }
    if (tooLarge) {
        log_.warning(fmt::format("Video frame of {} bytes refused: more than {} bytes cannot be sent as datagrams",
                                 frame.data.size(), KivConstants::maxFrameSize));
        return 0;
    }
    if (batch_.empty()) return 0;
    std::int64_t total = 0;
    std::vector<ByteView> outgoing;
    outgoing.reserve(batch_.size());
    for (const auto datagram : batch_) {
        total += static_cast<std::int64_t>(datagram.size());
        if (!withheld(random_)) outgoing.push_back(datagram);
    }
    DatagramBatchResult result;
    if (!outgoing.empty()) result = flow->sendBatch(outgoing);
    {
        const std::lock_guard lock(mutex_);
        videoBytes_ += total;
    }
    if (result.droppedDatagrams > 0) {
        const auto [allowed, suppressed] = dropThrottle_.allow(static_cast<std::uint64_t>(now().count()));
        if (suppressed > 0) log_.warning(fmt::format("({} datagram drop events suppressed)", suppressed));
        if (allowed) {
            log_.warning(fmt::format("Video datagrams dropped: {} of {} ({})", result.droppedDatagrams, outgoing.size(),
                                     result.error.value_or("socket buffer full")));
        }
    }
    // One completion for the whole batch: the sender only needs the bytes to add up, and a task
    // per datagram would cost thousands of hops a second.
    completion(total, result.droppedDatagrams == 0);
    return total;
}

bool WiFiTransport::sendAudio(Bytes item, std::function<void()> completion) {
    if (stream_->isClosed()) return false;
    stream_->send(std::move(item), [completion = std::move(completion)](const NetworkError&) {
        if (completion) completion();
    });
    return true;
}

TransportMetrics WiFiTransport::takeMetrics() {
    const std::lock_guard lock(mutex_);
    const auto current = now();
    const double elapsedUs = std::max(1.0, static_cast<double>((current - lastMetrics_).count()));
    TransportMetrics metrics(TransportKind::wifi, remoteAddress_);
    metrics.throughputMbps = static_cast<double>(videoBytes_) * 8.0 / elapsedUs;
    videoBytes_ = 0;
    lastMetrics_ = current;
    return metrics;
}

} // namespace kiv
