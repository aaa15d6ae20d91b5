#pragma once
// Ports to the OS networking: byte-stream connections, datagram flows and their listeners.
// Threading: handlers run on the Executor given to start(); send, cancel and the accessors may be
// called from any thread. Ownership: shared; a listener keeps its open children alive only until
// it hands them out. Errors are descriptions for logs; their absence means success.
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/ByteOrder.hpp"
#include "KivProtocol/LocalNetwork.hpp"

namespace kiv {

enum class ConnectionState { setup, preparing, waiting, ready, failed, cancelled };
const char* toText(ConnectionState state);

using NetworkError = std::optional<std::string>;

// A reliable byte stream (TCP, unix socket). One receive outstanding at a time.
class Connection {
public:
    using StateHandler = std::function<void(ConnectionState, const NetworkError&)>;
    // data may be empty; isComplete: the peer closed its side; an error ends the stream.
    using ReceiveHandler = std::function<void(Bytes data, bool isComplete, const NetworkError& error)>;
    using SendCompletion = std::function<void(const NetworkError& error)>;

    virtual ~Connection() = default;

    virtual void setStateHandler(StateHandler handler) = 0; // empty removes it
    virtual ConnectionState state() const = 0;
    // Runs the connection (and every handler) on `queue`. A connection already ready is not restarted.
    virtual void start(Executor& queue) = 0;
    virtual void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) = 0;
    // Queues bytes; the completion (optional) runs on the queue once the stack took them or the
    // connection ended, always exactly once, with an error when the bytes did not go out. Bytes
    // sent in order arrive in order.
    virtual void send(Bytes data, SendCompletion completion) = 0;
    // Idempotent; the state handler then reports cancelled.
    virtual void cancel() = 0;
    virtual std::optional<NetworkEndpoint> remoteEndpoint() const = 0;
};

// What became of one batch of datagrams.
struct DatagramBatchResult {
    std::size_t sentDatagrams = 0;
    std::size_t sentBytes = 0;
    // Not taken: the socket buffer was full, an error, or the flow was cancelled. Datagrams go in
    // order, so the dropped ones are always the batch's tail.
    std::size_t droppedDatagrams = 0;
    NetworkError error; // a hard error or the cancellation; nothing when only the buffer was full
};

// One remote endpoint's datagrams on a shared UDP socket.
class DatagramFlow {
public:
    using StateHandler = Connection::StateHandler;
    using MessageHandler = std::function<void(Bytes datagram, const NetworkError& error)>;

    virtual ~DatagramFlow() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual ConnectionState state() const = 0;
    virtual void start(Executor& queue) = 0;
    // The next datagram from the peer; one outstanding at a time.
    virtual void receiveMessage(MessageHandler handler) = 0;
    // Sends the datagrams in one batch (sendmmsg) without ever waiting: what the socket does not
    // take at once is dropped and counted, so the caller can ask for a keyframe instead of
    // letting latency grow. Any thread; the views need to stay valid only for the call.
    virtual DatagramBatchResult sendBatch(const std::vector<ByteView>& datagrams) = 0;
    // Idempotent; a cancelled flow is forgotten by its listener: the peer's next datagram opens a new one.
    virtual void cancel() = 0;
    virtual std::optional<NetworkEndpoint> remoteEndpoint() const = 0;
};

// Starts `connection` on `queue` and calls `done` there exactly once: with the connection when it
// is ready, with nothing when it waits, fails, is cancelled or is not ready within `timeout` (it is
// then cancelled). The state handler is removed before `done` runs.
void startWithin(const std::shared_ptr<Connection>& connection, Executor& queue, Duration timeout,
                 std::function<void(std::shared_ptr<Connection>)> done);

enum class ListenerState { setup, waiting, ready, failed, cancelled };
const char* toText(ListenerState state);

struct ListenerOptions {
    std::uint16_t port = 0;    // 0: any free port
    bool loopbackOnly = false; // bind 127.0.0.1 only
};

class StreamListener {
public:
    using StateHandler = std::function<void(ListenerState, const NetworkError&)>;
    virtual ~StreamListener() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(std::function<void(std::shared_ptr<Connection>)> handler) = 0;
    virtual void start(Executor& queue) = 0;
    virtual void cancel() = 0;
    virtual ListenerState state() const = 0;
    virtual std::uint16_t port() const = 0; // the bound port (the chosen one when 0 was asked)
};

class DatagramListener {
public:
    using StateHandler = StreamListener::StateHandler;
    virtual ~DatagramListener() = default;
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewFlowHandler(std::function<void(std::shared_ptr<DatagramFlow>)> handler) = 0;
    virtual void start(Executor& queue) = 0;
    virtual void cancel() = 0;
    virtual ListenerState state() const = 0;
    virtual std::uint16_t port() const = 0;
};

// Creates listeners and outgoing connections; the composition root picks the implementation.
class NetworkFactory {
public:
    virtual ~NetworkFactory() = default;
    virtual std::expected<std::shared_ptr<StreamListener>, std::string>
    makeStreamListener(const ListenerOptions& options) = 0;
    virtual std::expected<std::shared_ptr<DatagramListener>, std::string>
    makeDatagramListener(const ListenerOptions& options) = 0;
    // A TCP connection to host:port, connecting once started.
    virtual std::shared_ptr<Connection> makeTcpConnection(const std::string& host, std::uint16_t port) = 0;
    // A connection to a unix-domain stream socket, connecting once started.
    virtual std::shared_ptr<Connection> makeUnixConnection(const std::string& path) = 0;
};

} // namespace kiv
