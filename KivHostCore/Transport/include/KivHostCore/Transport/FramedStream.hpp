#pragma once
// The host's end of a reliable byte stream cut into stream items. A device may send only control
// items: a video or audio header closes the stream before any of its body is buffered. One read
// outstanding at a time, up to 1 MiB; finishes exactly once and then drops its handlers, so no
// cycle outlives the connection. Handlers run on the queue given to start(); send/close/metrics
// from any thread; every send's completion runs exactly once, with an error once closed.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/StreamFraming.hpp"

namespace kiv {

class FramedStream : public std::enable_shared_from_this<FramedStream> {
public:
    static constexpr std::size_t kMaxRead = 1048576;

    struct Counters {
        std::int64_t bytesOut = 0;
        std::int64_t bytesIn = 0;
        std::int64_t buffered = 0;
    };

    static std::shared_ptr<FramedStream> create(std::shared_ptr<Connection> connection, std::string label);

    std::function<void(StreamItem)> onItem;
    std::function<void(const std::string& reason)> onClosed; // "closed by the device", "protocol error: …", …

    void start(Executor& queue);
    void send(Bytes data, Connection::SendCompletion completion = {});
    // Orderly close ("closed by the host"); with a message, it leaves before the connection is cancelled.
    void close(const std::optional<ControlMessage>& after = std::nullopt);

    bool isClosed() const;
    // Reads bytesOut and bytesIn and resets them; buffered is the undecoded tail.
    Counters takeCounters();
    const std::string& label() const { return label_; }
    Connection& connection() { return *connection_; }

    FramedStream(std::shared_ptr<Connection> connection, std::string label); // use create()

private:
    void receiveStep();
    void handleReceive(Bytes data, bool isComplete, const NetworkError& error);
    void finish(std::string reason);
    void endWith(std::string reason); // cancels the connection, remembering why

    std::shared_ptr<Connection> connection_;
    const std::string label_;
    ExecutorHandle queue_;
    StreamFrameDecoder decoder_{StreamFrameDecoder::ControlOnly{}}; // receive path only
    KivLogger log_ = KivLog::logger("Transport");
    mutable std::mutex mutex_;
    bool closed_ = false;
    std::optional<std::string> endReason_;
    Counters counters_;
};

} // namespace kiv
