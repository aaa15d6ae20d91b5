#pragma once
// A Wi-Fi link: the TCP control connection (framed stream) plus, once the device's keepalives
// name this link's video identity, the device's UDP flow, on which video datagrams go out in one
// batch per frame.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "KivHostCore/Platform/HostTransport.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Transport/FramedStream.hpp"
#include "KivHostCore/Transport/LinkHandlers.hpp"
#include "KivHostCore/Transport/VideoRepeat.hpp"

namespace kiv {

class UDPVideoListener;

class WiFiTransport final : public HostTransport, public std::enable_shared_from_this<WiFiTransport> {
public:
    static constexpr Duration kVideoReadyWindow = std::chrono::seconds(5);

    // `clock` times keepalives and metrics (any executor; tests pass virtual time).
    static std::shared_ptr<WiFiTransport> create(std::shared_ptr<Connection> connection,
                                                 std::weak_ptr<UDPVideoListener> udpListener, Executor& clock,
                                                 double simulatedPacketLoss = 0);

    const std::string& id() const override { return id_; }
    TransportKind kind() const override { return TransportKind::wifi; }
    const std::string& remoteAddress() const override { return remoteAddress_; }
    bool isOpen() const override { return !stream_->isClosed(); }
    void setOnControl(std::function<void(const ControlMessage&)> handler) override;
    void setOnClosed(std::function<void(const std::string& reason)> handler) override;
    void setOnVideoReady(std::function<void()> handler) override;
    void start(Executor& queue) override;
    void sendControl(const ControlMessage& message) override;
    void close(const std::optional<ControlMessage>& after = std::nullopt) override;
    void beginVideo(std::uint32_t sessionID, std::uint64_t key) override;
    void endVideo() override;
    bool isVideoReady() const override;
    std::int64_t sendVideo(const EncodedFrame& frame, VideoCompletion completion) override;
    bool sendAudio(Bytes item, std::function<void()> completion) override;
    TransportMetrics takeMetrics() override;

    // A keepalive from `flow` carrying this identity (UDP listener's queue); ignored unless the
    // identity is still this link's registration.
    void noteKeepalive(const std::shared_ptr<DatagramFlow>& flow, std::uint32_t sessionID, std::uint64_t key);
    bool hasAdopted(const DatagramFlow& flow) const;
    // True once the device sent its first control message.
    bool hasReceivedControl() const { return receivedControl_.load(); }
    // Detaches the UDP flow when its last keepalive is older than `timeout`; returns it to cancel.
    std::shared_ptr<DatagramFlow> detachIfSilent(Duration timeout);
    // True once per registration when no keepalive has come for it in `timeout`: the device reached
    // the control port, but its UDP flow does not reach the video port.
    bool neverHeardFor(Duration timeout);

    WiFiTransport(std::shared_ptr<Connection> connection, std::weak_ptr<UDPVideoListener> udpListener, Executor& clock,
                  double simulatedPacketLoss); // use create()

private:
    MonotonicTime now() const { return clock_.now().value_or(MonotonicTime{}); }
    // The device's loss figures and its keyframe requests after a loss decide what goes twice.
    void noteLoss(const ControlMessage& message);
    // Diagnostic loss: whether a datagram is withheld (it still counts as sent).
    bool withheld(std::mt19937_64& random) const {
        return simulatedPacketLoss_ > 0 &&
               std::uniform_real_distribution<double>(0.0, 1.0)(random) < simulatedPacketLoss_;
    }
    // Sends the kept copy of frame `frameID` unless a frame came after it.
    void sendTail(std::uint32_t frameID);

    const std::string id_;
    const std::string remoteAddress_;
    std::shared_ptr<FramedStream> stream_;
    std::weak_ptr<UDPVideoListener> udpListener_;
    const ExecutorHandle clock_; // held weakly, like every executor reached from other threads
    const double simulatedPacketLoss_;
    KivLogger log_ = KivLog::logger("Transport");

    mutable std::mutex mutex_;
    std::shared_ptr<DatagramFlow> udp_;
    std::optional<MonotonicTime> lastKeepalive_;
    FramePacketizer packetizer_{0};
    std::optional<std::pair<std::uint32_t, std::uint64_t>> registration_;
    MonotonicTime registeredAt_{};
    bool heardForRegistration_ = false; // a keepalive, or the silence already reported
    std::int64_t videoBytes_ = 0;
    LogThrottle dropThrottle_{3, 5'000'000};
    MonotonicTime lastMetrics_;
    DatagramBatch batch_; // reused frame to frame; sendVideo runs on one queue
    VideoRepeat repeat_;  // from the loss the device reports
    // The first copy of the last frame's datagrams, while a copy of it may still go.
    std::vector<std::uint8_t> tail_;
    std::vector<std::uint32_t> tailOffsets_;
    std::uint32_t tailFrameID_ = 0;
    std::mt19937_64 tailRandom_{std::random_device{}()}; // diagnostic loss of those copies
    std::mt19937_64 random_{std::random_device{}()};
    std::atomic<bool> receivedControl_{false};
    LinkHandlers handlers_;
    ExecutorHandle queue_; // the link's queue, from start()
};

} // namespace kiv
