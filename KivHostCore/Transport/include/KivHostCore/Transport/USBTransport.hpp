#pragma once
// A USB link: one framed stream through the usbmuxd tunnel carrying control, video and audio.
#include <atomic>
#include <memory>
#include <mutex>

#include "KivHostCore/Platform/HostTransport.hpp"
#include "KivHostCore/Transport/FramedStream.hpp"
#include "KivHostCore/Transport/LinkHandlers.hpp"
#include "KivHostCore/Transport/USBDeviceStatus.hpp"

namespace kiv {

class USBTransport final : public HostTransport, public std::enable_shared_from_this<USBTransport> {
public:
    static std::shared_ptr<USBTransport> create(std::shared_ptr<Connection> connection, USBDeviceInfo device,
                                                Executor& clock);

    const std::string& id() const override { return id_; }
    TransportKind kind() const override { return TransportKind::usb; }
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

    const USBDeviceInfo& device() const { return device_; }

    USBTransport(std::shared_ptr<Connection> connection, USBDeviceInfo device, Executor& clock); // use create()

private:
    MonotonicTime now() const { return clock_.now().value_or(MonotonicTime{}); }
    const std::string id_;
    const USBDeviceInfo device_;
    const std::string remoteAddress_;
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
};

} // namespace kiv
