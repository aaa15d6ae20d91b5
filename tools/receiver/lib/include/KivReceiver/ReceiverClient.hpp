#pragma once
// The device side of a Wi-Fi link: connects to a host's control port, says hello, follows the
// admission (pairingPending / connect / reject), then keeps the UDP video flow alive with
// keepalives, reassembles video datagrams, pings for clock sync and counts loss and latency.
// It runs its own network thread; every callback runs on that thread.
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/FrameReassembler.hpp"
#include "KivProtocol/StreamFraming.hpp"

namespace kiv::receiver {

struct ReceiverConfig {
    std::string host = "127.0.0.1";
    std::uint16_t controlPort = 52010;
    Hello hello;
    std::chrono::milliseconds keepaliveInterval{1000};
    std::chrono::milliseconds pingInterval{1000};
    std::size_t maxPendingFrames = 8;
    std::uint64_t pendingTimeoutUs = 1'000'000;
    // A frame begun and then quiet this long is given up (the host resends the last frame before
    // a still screen 50 ms after it on a lossy link; this leaves room for that and for jitter).
    std::uint64_t stallQuietUs = 150'000;
    int receiveBufferBytes = 8 * 1024 * 1024;
};

struct ReceiverStats {
    std::uint64_t framesReceived = 0;
    std::uint64_t keyframesReceived = 0;
    std::uint64_t bytesReceived = 0;   // reassembled frame payload
    std::uint64_t packetsReceived = 0; // since the first datagram
    std::uint64_t packetsExpected = 0;
    std::int64_t framesLost = 0;
    std::optional<std::uint64_t> rttUs; // newest ping round trip
    std::optional<std::int64_t> clockOffsetUs;
    double lastLatencyMs = 0; // capture on the host to reassembled here
    double maxLatencyMs = 0;
};

class ReceiverClient {
public:
    explicit ReceiverClient(ReceiverConfig config);
    ~ReceiverClient(); // stops
    ReceiverClient(const ReceiverClient&) = delete;
    ReceiverClient& operator=(const ReceiverClient&) = delete;

    std::function<void(const ControlMessage&)> onControl; // every control message received
    std::function<void()> onPairingPending;
    std::function<void(const ConnectInfo&)> onConnect;
    std::function<void(RejectReason)> onReject;
    // A complete frame and the client-clock time (microseconds, CLOCK_MONOTONIC) it completed at.
    std::function<void(const ReassembledFrame&, std::uint64_t completedAtUs)> onFrame;
    std::function<void(const StreamAudioPacket&)> onAudio;
    std::function<void(const std::string& why)> onClosed;

    // Connects and sends hello; the outcome arrives through the callbacks.
    void start();
    void stop();

    void send(const ControlMessage& message); // dropped while the connection is not up
    // Raw bytes on the control stream (tests send malformed data with it).
    void sendRaw(Bytes bytes);

    ReceiverStats stats() const;
    // True when a frame had begun to arrive and then nothing came for stallQuietUs (it is given
    // up): nothing later will show that it was lost, so the caller asks for a keyframe.
    bool dropStalledFrame();
    std::optional<ConnectInfo> connectInfo() const;
    bool isConnected() const; // TCP up
    // CPU time used by the client's network thread so far (microseconds; 0 before start).
    std::uint64_t threadCPUMicros() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv::receiver
