#pragma once
// A link over one framed stream carrying control, video and audio: USB (the usbmuxd tunnel) and
// the web link (a WebSocket, one item per message).
#include <atomic>
#include <memory>
#include <mutex>

#include "KivHostCore/Platform/HostTransport.hpp"
#include "KivHostCore/Transport/FramedStream.hpp"
#include "KivHostCore/Transport/LinkHandlers.hpp"
#include "KivHostCore/Transport/USBDeviceStatus.hpp"

namespace kiv {

class StreamLinkTransport : public HostTransport, public std::enable_shared_from_this<StreamLinkTransport> {
public:
    // `remoteAddress` names the peer in logs and the status; `metricsDevice` in the link figures.
    StreamLinkTransport(std::shared_ptr<Connection> connection, TransportKind kind, std::string remoteAddress,
                        std::string metricsDevice, Executor& clock);

    const std::string& id() const override { return id_; }
    TransportKind kind() const override { return kind_; }
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
    // Whether the peer has sent any control item yet (the listeners cap links that stay silent).
    bool hasReceivedControl() const { return receivedControl_.load(); }

private:
    MonotonicTime now() const { return clock_.now().value_or(MonotonicTime{}); }
    const std::string id_;
    const TransportKind kind_;
    const std::string remoteAddress_;
    const std::string metricsDevice_;
    std::shared_ptr<FramedStream> stream_;
    const ExecutorHandle clock_; // held weakly, like every executor reached from other threads
    mutable std::mutex mutex_;
    bool videoOn_ = false;
    std::uint32_t nextFrameID_ = 0;
    MonotonicTime lastMetrics_;
    KivLogger log_ = KivLog::logger("Transport");
    std::shared_ptr<std::atomic<std::int64_t>> inFlight_ = std::make_shared<std::atomic<std::int64_t>>(0);
    LinkHandlers handlers_;
    ExecutorHandle queue_; // the link's queue, from start()
    std::atomic<bool> receivedControl_{false};
};

class USBTransport final : public StreamLinkTransport {
public:
    static std::shared_ptr<USBTransport> create(std::shared_ptr<Connection> connection, USBDeviceInfo device,
                                                Executor& clock);
    const USBDeviceInfo& device() const { return device_; }

    USBTransport(std::shared_ptr<Connection> connection, USBDeviceInfo device, Executor& clock); // use create()

private:
    const USBDeviceInfo device_;
};

// A browser's link: a WebSocket carrying the same stream items as USB.
class WebTransport final : public StreamLinkTransport {
public:
    static std::shared_ptr<WebTransport> create(std::shared_ptr<Connection> connection, Executor& clock);
    WebTransport(std::shared_ptr<Connection> connection, std::string address, Executor& clock); // use create()
};

} // namespace kiv
