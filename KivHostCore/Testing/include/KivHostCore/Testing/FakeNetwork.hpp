#pragma once
// In-memory stand-ins for the network ports, driven by the test. Handlers run on the executor
// given to start(), so with a ManualExecutor everything happens in virtual time.
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Platform/Network.hpp"

namespace kiv {

class FakeConnection : public Connection, public std::enable_shared_from_this<FakeConnection> {
public:
    struct Sent {
        Bytes data;
        SendCompletion completion;
    };

    explicit FakeConnection(
        std::optional<NetworkEndpoint> peer = NetworkEndpoint::hostPort(IPv4Address{{192, 168, 1, 20}}, 50000),
        ConnectionState initial = ConnectionState::setup)
        : peer_(std::move(peer)), state_(initial) {}

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    ConnectionState state() const override { return state_; }
    void start(Executor& queue) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) override;
    void send(Bytes data, SendCompletion completion) override;
    void cancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return peer_; }

    // Test side.
    // A connection that arrives connected was started elsewhere: its handlers run on `queue`.
    void adoptQueue(Executor& queue) { queue_ = &queue; }
    void setState(ConnectionState state, NetworkError error = std::nullopt); // reports through the queue
    // Completes the outstanding receive; false when none is outstanding.
    bool deliver(Bytes data, bool isComplete = false, NetworkError error = std::nullopt);
    bool hasPendingReceive() const { return static_cast<bool>(receiveHandler_); }
    // Runs the completion of the oldest unacknowledged send.
    void completeSend(NetworkError error = std::nullopt);
    Bytes sentBytes() const; // everything sent so far, concatenated

    std::vector<Sent> sent;
    int startCount = 0;
    int cancelCount = 0;
    std::size_t completedSends = 0;

private:
    std::optional<NetworkEndpoint> peer_;
    ConnectionState state_;
    StateHandler stateHandler_;
    ReceiveHandler receiveHandler_;
    Executor* queue_ = nullptr;
};

class FakeDatagramFlow : public DatagramFlow, public std::enable_shared_from_this<FakeDatagramFlow> {
public:
    explicit FakeDatagramFlow(
        std::optional<NetworkEndpoint> peer = NetworkEndpoint::hostPort(IPv4Address{{192, 168, 1, 20}}, 60000))
        : peer_(std::move(peer)) {}

    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    ConnectionState state() const override { return state_; }
    void start(Executor& queue) override;
    void receiveMessage(MessageHandler handler) override { handler_ = std::move(handler); }
    DatagramBatchResult sendBatch(const std::vector<ByteView>& datagrams) override;
    void cancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return peer_; }

    // Test side: a datagram from the peer, handed to the outstanding receive on the queue.
    bool deliver(Bytes datagram);

    std::vector<Bytes> sentDatagrams;
    std::size_t batches = 0;
    // How many datagrams of each batch the "socket buffer" takes; the rest are dropped.
    std::size_t roomPerBatch = SIZE_MAX;
    int cancelCount = 0;

private:
    std::optional<NetworkEndpoint> peer_;
    ConnectionState state_ = ConnectionState::setup;
    StateHandler stateHandler_;
    MessageHandler handler_;
    Executor* queue_ = nullptr;
};

class FakeStreamListener : public StreamListener {
public:
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setNewConnectionHandler(std::function<void(std::shared_ptr<Connection>)> handler) override {
        newConnection_ = std::move(handler);
    }
    void start(Executor& queue) override { queue_ = &queue; }
    void cancel() override { state_ = ListenerState::cancelled; }
    ListenerState state() const override { return state_; }
    std::uint16_t port() const override { return 52010; }

    void report(ListenerState state, NetworkError error = std::nullopt);
    void connect(std::shared_ptr<Connection> connection); // an incoming connection, via the queue

private:
    StateHandler stateHandler_;
    std::function<void(std::shared_ptr<Connection>)> newConnection_;
    ListenerState state_ = ListenerState::setup;
    Executor* queue_ = nullptr;
};

class FakeDatagramListener : public DatagramListener {
public:
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setNewFlowHandler(std::function<void(std::shared_ptr<DatagramFlow>)> handler) override {
        newFlow_ = std::move(handler);
    }
    void start(Executor& queue) override { queue_ = &queue; }
    void cancel() override { state_ = ListenerState::cancelled; }
    ListenerState state() const override { return state_; }
    std::uint16_t port() const override { return 52011; }

    void open(std::shared_ptr<DatagramFlow> flow); // a new peer's first datagram arrived

private:
    StateHandler stateHandler_;
    std::function<void(std::shared_ptr<DatagramFlow>)> newFlow_;
    ListenerState state_ = ListenerState::setup;
    Executor* queue_ = nullptr;
};

class FakeNetworkFactory : public NetworkFactory {
public:
    std::expected<std::shared_ptr<StreamListener>, std::string> makeStreamListener(const ListenerOptions&) override {
        if (failListeners) return std::unexpected(std::string("address in use"));
        return streamListener;
    }
    std::expected<std::shared_ptr<DatagramListener>, std::string>
    makeDatagramListener(const ListenerOptions&) override {
        if (failListeners) return std::unexpected(std::string("address in use"));
        return datagramListener;
    }
    std::shared_ptr<Connection> makeTcpConnection(const std::string& host, std::uint16_t port) override {
        auto connection = std::make_shared<FakeConnection>(
            NetworkEndpoint::hostPort(IPv4Address{{192, 168, 1, 20}}, 50000), outgoingState);
        outgoing.push_back({host + ":" + std::to_string(port), connection});
        return connection;
    }
    std::shared_ptr<Connection> makeUnixConnection(const std::string& path) override {
        auto connection = std::make_shared<FakeConnection>(
            NetworkEndpoint::other(NetworkEndpoint::Kind::unixPath, path), outgoingState);
        outgoing.push_back({path, connection});
        return connection;
    }
    std::vector<std::pair<std::string, std::shared_ptr<FakeConnection>>> outgoing;

    std::shared_ptr<FakeStreamListener> streamListener = std::make_shared<FakeStreamListener>();
    std::shared_ptr<FakeDatagramListener> datagramListener = std::make_shared<FakeDatagramListener>();
    bool failListeners = false;
    // Outgoing connections start so: `setup` becomes ready when started, `preparing` never does.
    ConnectionState outgoingState = ConnectionState::setup;
};

} // namespace kiv
