#include "KivReceiver/ReceiverClient.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <deque>
#include <mutex>
#include <thread>

#include "KivProtocol/ClockSync.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/HostClock.hpp"
#include "ThreadCPU.hpp"

namespace kiv::receiver {

struct ReceiverClient::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(ReceiverConfig configuration, ReceiverClient& owner)
        : config(std::move(configuration)), client(owner), tcp(io), udp(io), keepaliveTimer(io), pingTimer(io) {}

    // --- network thread ---
    void connect() {
        auto resolver = std::make_shared<asio::ip::tcp::resolver>(io);
        resolver->async_resolve(config.host, std::to_string(config.controlPort),
                                [self = shared_from_this(), resolver](const std::error_code& error, auto results) {
                                    if (error) return self->closed("resolve failed: " + error.message());
                                    asio::async_connect(
                                        self->tcp, results, [self](const std::error_code& e, const auto&) {
                                            if (e) return self->closed("connect failed: " + e.message());
                                            std::error_code ignored;
                                            self->tcp.set_option(asio::ip::tcp::no_delay(true), ignored);
                                            {
                                                const std::lock_guard lock(self->mutex);
                                                self->tcpUp = true;
                                            }
                                            self->sendControl(ControlMessage{self->config.hello});
                                            self->readControl();
                                            self->schedulePing();
                                        });
                                });
    }

    void readControl() {
        tcp.async_read_some(
            asio::buffer(readBuffer), [self = shared_from_this()](const std::error_code& error, std::size_t n) {
                if (error)
                    return self->closed(error == asio::error::eof ? "host closed the connection" : error.message());
                auto items = self->decoder.append(ByteView(self->readBuffer.data(), n));
                if (!items) return self->closed("protocol error: " + items.error().text());
                for (auto& item : *items)
                    self->handleItem(std::move(item));
                self->readControl();
            });
    }

    void handleItem(StreamItem item) {
        if (auto* audio = std::get_if<StreamAudioPacket>(&item.value)) {
            if (client.onAudio) client.onAudio(*audio);
            return;
        }
        auto* message = std::get_if<ControlMessage>(&item.value);
        if (!message) return; // video arrives by UDP on Wi-Fi
        if (client.onControl) client.onControl(*message);
        if (message->is<PairingPending>()) {
            if (client.onPairingPending) client.onPairingPending();
        } else if (const auto* reject = message->get<RejectReason>()) {
            if (client.onReject) client.onReject(*reject);
        } else if (const auto* info = message->get<ConnectInfo>()) {
            startVideo(*info);
            if (client.onConnect) client.onConnect(*info);
        } else if (const auto* pong = message->get<PongInfo>()) {
            const std::lock_guard lock(mutex);
            clock.add(pong->t0, pong->t1, pong->t2, HostClock::nowMicros());
        }
    }

    void startVideo(const ConnectInfo& info) {
        {
            const std::lock_guard lock(mutex);
            connectInfo = info;
            reassembler =
                std::make_unique<FrameReassembler>(info.sessionID, config.maxPendingFrames, config.pendingTimeoutUs);
        }
        std::error_code error;
        if (udp.is_open()) udp.close(error);
        asio::ip::udp::resolver resolver(io);
        const auto endpoints =
            resolver.resolve(asio::ip::udp::v4(), config.host, std::to_string(info.videoPort), error);
        if (error || endpoints.empty()) return closed("cannot resolve the video port: " + error.message());
        udp.open(asio::ip::udp::v4(), error);
        // A whole keyframe can arrive in one burst; root may exceed the default buffer cap.
        const int size = config.receiveBufferBytes;
        if (::setsockopt(udp.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            ::setsockopt(udp.native_handle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        udp.connect(*endpoints.begin(), error);
        if (error) return closed("cannot open the video flow: " + error.message());
        keepalive = VideoKeepalive{info.sessionID, info.videoKey}.encode();
        sendKeepalive();
        readVideo();
    }

    void sendKeepalive() {
        std::error_code ignored;
        udp.send(asio::buffer(keepalive), 0, ignored);
        keepaliveTimer.expires_after(config.keepaliveInterval);
        keepaliveTimer.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error && self->udp.is_open()) self->sendKeepalive();
        });
    }

    void readVideo() {
        udp.async_receive(
            asio::buffer(datagram), [self = shared_from_this()](const std::error_code& error, std::size_t n) {
                if (error) return; // closed or cancelled
                const auto now = HostClock::nowMicros();
                std::optional<ReassembledFrame> frame;
                {
                    const std::lock_guard lock(self->mutex);
                    if (self->reassembler) frame = self->reassembler->ingest(ByteView(self->datagram.data(), n), now);
                    if (frame) {
                        auto& s = self->statistics;
                        ++s.framesReceived;
                        s.keyframesReceived += frame->isKeyframe ? 1u : 0u;
                        s.bytesReceived += frame->data.size();
                        const auto captured = self->clock.toClient(frame->captureTimeUs).value_or(frame->captureTimeUs);
                        s.lastLatencyMs = now > captured ? static_cast<double>(now - captured) / 1000.0 : 0.0;
                        s.maxLatencyMs = std::max(s.maxLatencyMs, s.lastLatencyMs);
                    }
                }
                if (frame && self->client.onFrame) self->client.onFrame(*frame, now);
                if (frame) {
                    const std::lock_guard lock(self->mutex);
                    if (self->reassembler) self->reassembler->recycle(std::move(frame->data));
                }
                self->readVideo();
            });
    }

    void schedulePing() {
        pingTimer.expires_after(config.pingInterval);
        pingTimer.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (error || !self->tcp.is_open()) return;
            self->sendControl(ControlMessage{PingInfo{HostClock::nowMicros()}});
            self->schedulePing();
        });
    }

    void sendControl(const ControlMessage& message) {
        auto frame = ControlFraming::encode(message);
        if (frame) writeBytes(std::move(*frame));
    }

    void writeBytes(Bytes bytes) {
        writes.push_back(std::move(bytes));
        if (writes.size() == 1) writeNext();
    }

    void writeNext() {
        asio::async_write(tcp, asio::buffer(writes.front()),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              self->writes.pop_front();
                              if (error) return self->closed("send failed: " + error.message());
                              if (!self->writes.empty()) self->writeNext();
                          });
    }

    void closed(const std::string& why) {
        bool wasOpen = false;
        {
            const std::lock_guard lock(mutex);
            wasOpen = !closedOnce;
            closedOnce = true;
            tcpUp = false;
        }
        std::error_code ignored;
        tcp.close(ignored);
        udp.close(ignored);
        keepaliveTimer.cancel();
        pingTimer.cancel();
        if (wasOpen && client.onClosed) client.onClosed(why);
    }

    ReceiverConfig config;
    ReceiverClient& client;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
    std::thread thread;
    asio::ip::tcp::socket tcp;
    asio::ip::udp::socket udp;
    asio::steady_timer keepaliveTimer;
    asio::steady_timer pingTimer;
    std::array<std::uint8_t, 1 << 16> readBuffer{};
    std::array<std::uint8_t, 2048> datagram{};
    StreamFrameDecoder decoder;
    std::deque<Bytes> writes;
    Bytes keepalive;

    mutable std::mutex mutex; // guards what other threads read
    std::optional<ConnectInfo> connectInfo;
    std::unique_ptr<FrameReassembler> reassembler;
    ClockSync clock{16};
    ReceiverStats statistics;
    bool tcpUp = false;
    bool closedOnce = false;
};

ReceiverClient::ReceiverClient(ReceiverConfig config) : impl_(std::make_shared<Impl>(std::move(config), *this)) {}

ReceiverClient::~ReceiverClient() {
    stop();
}

void ReceiverClient::start() {
    if (impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_] { impl->connect(); });
    impl_->thread = std::thread([impl = impl_] { impl->io.run(); });
}

void ReceiverClient::stop() {
    if (!impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_] {
        // Stopped on purpose: no onClosed.
        {
            const std::lock_guard lock(impl->mutex);
            impl->closedOnce = true;
        }
        impl->closed("stopped");
        impl->guard.reset();
    });
    impl_->thread.join();
}

void ReceiverClient::send(const ControlMessage& message) {
    asio::post(impl_->io, [impl = impl_, message] {
        // Before the connection is up (or once it is gone) there is no one to tell, and a write
        // on a socket not connected would fail the link that is still being made.
        {
            const std::lock_guard lock(impl->mutex);
            if (!impl->tcpUp) return;
        }
        impl->sendControl(message);
    });
}

void ReceiverClient::sendRaw(Bytes bytes) {
    asio::post(impl_->io, [impl = impl_, bytes = std::move(bytes)]() mutable { impl->writeBytes(std::move(bytes)); });
}

ReceiverStats ReceiverClient::stats() const {
    const std::lock_guard lock(impl_->mutex);
    ReceiverStats s = impl_->statistics;
    if (impl_->reassembler) {
        s.packetsReceived = impl_->reassembler->packetsReceived();
        s.packetsExpected = impl_->reassembler->packetsExpected();
        s.framesLost = impl_->reassembler->framesDropped();
    }
    s.rttUs = impl_->clock.rttUs();
    s.clockOffsetUs = impl_->clock.offsetUs();
    return s;
}

bool ReceiverClient::dropStalledFrame() {
    const std::lock_guard lock(impl_->mutex);
    return impl_->reassembler && impl_->reassembler->dropStalled(HostClock::nowMicros(), impl_->config.stallQuietUs);
}

std::optional<ConnectInfo> ReceiverClient::connectInfo() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->connectInfo;
}

std::uint64_t ReceiverClient::threadCPUMicros() const {
    return receiver::threadCPUMicros(impl_->thread);
}

bool ReceiverClient::isConnected() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->tcpUp;
}

} // namespace kiv::receiver
