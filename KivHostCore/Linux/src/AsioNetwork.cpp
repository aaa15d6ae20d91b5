#include "KivHostCore/Linux/AsioNetwork.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

namespace {

using Strand = asio::strand<asio::io_context::executor_type>;

NetworkEndpoint toEndpoint(const asio::ip::address& address, std::uint16_t port) {
    if (address.is_v4()) return NetworkEndpoint::hostPort(IPv4Address{address.to_v4().to_bytes()}, port);
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return NetworkEndpoint::hostPort(IPv4Address{asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_bytes()}, port);
    }
    return NetworkEndpoint::hostPort(IPv6Address{v6.to_bytes()}, port);
}

// Keepalive idle 2 s, interval 1 s, count 3: a dead peer is noticed about 5 s after it goes quiet.
void configureTcp(asio::ip::tcp::socket& socket) {
    std::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int fd = socket.native_handle();
    const int idle = 2, interval = 1, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// Where an object's handlers run; a queue destroyed meanwhile simply gets nothing more.
class HandlerQueue {
public:
    void bind(Executor& queue) {
        const std::lock_guard lock(mutex_);
        queue_ = queue.handle();
    }
    void post(Task task) {
        ExecutorHandle queue;
        {
            const std::lock_guard lock(mutex_);
            queue = queue_;
        }
        queue.post(std::move(task));
    }

private:
    std::mutex mutex_;
    ExecutorHandle queue_;
};

// The state an object reports and the handler that hears it, on the queue it was started on.
// Once a final state is reached nothing else is reported.
template <class State>
class StateReporter : public std::enable_shared_from_this<StateReporter<State>> {
public:
    using Handler = std::function<void(State, const NetworkError&)>;

    StateReporter(State initial, std::initializer_list<State> finals) : state_(initial), finals_(finals) {}

    void setHandler(Handler handler) {
        const std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    State state() const {
        const std::lock_guard lock(mutex_);
        return state_;
    }
    bool report(State state, NetworkError error = std::nullopt) {
        {
            const std::lock_guard lock(mutex_);
            if (std::find(finals_.begin(), finals_.end(), state_) != finals_.end()) return false;
            state_ = state;
        }
        queue.post([weak = this->weak_from_this(), state, error] {
            const auto self = weak.lock();
            if (!self) return;
            Handler handler;
            {
                const std::lock_guard lock(self->mutex_);
                handler = self->handler_;
            }
            if (handler) handler(state, error);
        });
        return true;
    }

    HandlerQueue queue; // where handlers of the owning object run

private:
    mutable std::mutex mutex_;
    State state_;
    std::vector<State> finals_;
    Handler handler_;
};

template <class Protocol>
class AsioStreamConnection final : public Connection, public std::enable_shared_from_this<AsioStreamConnection<Protocol>> {
    using Socket = typename Protocol::socket;
    using std::enable_shared_from_this<AsioStreamConnection<Protocol>>::shared_from_this;
    using std::enable_shared_from_this<AsioStreamConnection<Protocol>>::weak_from_this;
    static constexpr bool kTcp = std::is_same_v<Protocol, asio::ip::tcp>;

public:
    // An accepted socket (already connected).
    AsioStreamConnection(asio::io_context& io, Socket socket)
        : strand_(asio::make_strand(io)), socket_(std::move(socket)) {
        if constexpr (kTcp) {
            std::error_code error;
            const auto remote = socket_.remote_endpoint(error);
            if (!error) peer_ = toEndpoint(remote.address(), remote.port());
        }
    }
    // An outgoing connection to host:port (TCP) or to a socket path (unix), made on start().
    AsioStreamConnection(asio::io_context& io, std::string host, std::uint16_t port)
        : strand_(asio::make_strand(io)), socket_(strand_), host_(std::move(host)), port_(port) {
        if constexpr (!kTcp) peer_ = NetworkEndpoint::other(NetworkEndpoint::Kind::unixPath, host_);
    }

    void setStateHandler(StateHandler handler) override { reporter_->setHandler(std::move(handler)); }
    ConnectionState state() const override { return reporter_->state(); }
    void start(Executor& queue) override {
        reporter_->queue.bind(queue);
        asio::post(strand_, [self = shared_from_this()] {
            if (self->host_.empty()) {
                self->setState(ConnectionState::ready, std::nullopt);
                return;
            }
            self->setState(ConnectionState::preparing, std::nullopt);
            self->connect();
        });
    }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) override {
        asio::post(strand_, [self = shared_from_this(), minimum, maximum, handler = std::move(handler)]() mutable {
            self->readAtLeast(std::make_shared<Bytes>(), std::max<std::size_t>(minimum, 1), maximum, std::move(handler));
        });
    }
    void send(Bytes data, SendCompletion completion) override {
        asio::post(strand_, [self = shared_from_this(), data = std::move(data), completion = std::move(completion)]() mutable {
            if (self->closed_) {
                if (completion) self->reporter_->queue.post([completion = std::move(completion)] { completion("connection closed"); });
                return;
            }
            self->writes_.push_back({std::move(data), std::move(completion)});
            if (self->writes_.size() == 1) self->writeNext();
        });
    }
    void cancel() override {
        asio::post(strand_, [self = shared_from_this()] { self->close(ConnectionState::cancelled, std::nullopt); });
    }
    std::optional<NetworkEndpoint> remoteEndpoint() const override {
        const std::lock_guard lock(mutex_);
        return peer_;
    }

private:
    struct Write {
        Bytes data;
        SendCompletion completion;
    };

    void setState(ConnectionState state, NetworkError error) { reporter_->report(state, std::move(error)); }

    void connect() {
        if constexpr (!kTcp) {
            socket_.async_connect(typename Protocol::endpoint(host_), [self = shared_from_this()](const std::error_code& error) {
                if (error) {
                    self->close(ConnectionState::failed, error.message());
                    return;
                }
                self->setState(ConnectionState::ready, std::nullopt);
            });
        } else {
            connectTcp();
        }
    }

    void connectTcp() {
        auto resolver = std::make_shared<asio::ip::tcp::resolver>(strand_);
        resolver->async_resolve(host_, std::to_string(port_), [self = shared_from_this(), resolver](
                                                                   const std::error_code& error, auto results) {
            if (error) {
                self->close(ConnectionState::failed, error.message());
                return;
            }
            asio::async_connect(self->socket_, results, [self](const std::error_code& connectError, const auto& endpoint) {
                if (connectError) {
                    self->close(ConnectionState::failed, connectError.message());
                    return;
                }
                configureTcp(self->socket_);
                {
                    const std::lock_guard lock(self->mutex_);
                    self->peer_ = toEndpoint(endpoint.address(), endpoint.port());
                }
                self->setState(ConnectionState::ready, std::nullopt);
            });
        });
    }

    void readAtLeast(std::shared_ptr<Bytes> collected, std::size_t minimum, std::size_t maximum, ReceiveHandler handler) {
        const std::size_t have = collected->size();
        collected->resize(maximum);
        socket_.async_read_some(
            asio::buffer(collected->data() + have, maximum - have),
            asio::bind_executor(strand_, [self = shared_from_this(), collected, have, minimum, maximum,
                                          handler = std::move(handler)](const std::error_code& error, std::size_t n) mutable {
                collected->resize(have + n);
                const bool eof = error == asio::error::eof;
                if (!error && collected->size() < minimum) {
                    self->readAtLeast(collected, minimum, maximum, std::move(handler));
                    return;
                }
                NetworkError reported;
                if (error && !eof) reported = error.message();
                self->reporter_->queue.post([handler = std::move(handler), collected, eof, reported]() mutable {
                    handler(std::move(*collected), eof, reported);
                });
            }));
    }

    void writeNext() {
        asio::async_write(socket_, asio::buffer(writes_.front().data),
                          asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              auto done = std::move(self->writes_.front().completion);
                              self->writes_.pop_front();
                              if (done) {
                                  NetworkError reported;
                                  if (error) reported = error.message();
                                  self->reporter_->queue.post([done = std::move(done), reported] { done(reported); });
                              }
                              if (error && error != asio::error::operation_aborted) {
                                  self->close(ConnectionState::failed, error.message());
                              }
                              if (!self->writes_.empty()) self->writeNext();
                          }));
    }

    void close(ConnectionState final, NetworkError error) {
        closed_ = true;
        std::error_code ignored;
        socket_.shutdown(asio::socket_base::shutdown_both, ignored);
        socket_.close(ignored); // pending writes complete with operation_aborted
        setState(final, std::move(error));
    }

    Strand strand_;
    Socket socket_;
    const std::string host_;
    const std::uint16_t port_ = 0;
    std::shared_ptr<StateReporter<ConnectionState>> reporter_ = std::make_shared<StateReporter<ConnectionState>>(
        ConnectionState::setup, std::initializer_list<ConnectionState>{ConnectionState::failed, ConnectionState::cancelled});
    mutable std::mutex mutex_; // guards peer_
    std::optional<NetworkEndpoint> peer_;
    std::deque<Write> writes_; // strand only
    bool closed_ = false;      // strand only
};

asio::ip::address bindAddress(bool loopbackOnly) {
    return loopbackOnly ? asio::ip::address(asio::ip::address_v4::loopback()) : asio::ip::address(asio::ip::address_v6::any());
}

template <class Socket>
void allowDualStack(Socket& socket, bool loopbackOnly) {
    if (loopbackOnly) return;
    std::error_code ignored;
    socket.set_option(asio::ip::v6_only(false), ignored);
}

class AsioTcpListener final : public StreamListener, public std::enable_shared_from_this<AsioTcpListener> {
public:
    AsioTcpListener(asio::io_context& io) : io_(io), strand_(asio::make_strand(io)), acceptor_(strand_) {}

    std::expected<void, std::string> open(const ListenerOptions& options) {
        std::error_code error;
        const asio::ip::tcp::endpoint endpoint(bindAddress(options.loopbackOnly), options.port);
        acceptor_.open(endpoint.protocol(), error);
        if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
        if (!error) allowDualStack(acceptor_, options.loopbackOnly);
        if (!error) acceptor_.bind(endpoint, error);
        if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
        if (error) return std::unexpected(error.message());
        port_ = acceptor_.local_endpoint(error).port();
        return {};
    }

    void setStateHandler(StateHandler handler) override { reporter_->setHandler(std::move(handler)); }
    void setNewConnectionHandler(std::function<void(std::shared_ptr<Connection>)> handler) override {
        const std::lock_guard lock(mutex_);
        newConnection_ = std::move(handler);
    }
    void start(Executor& queue) override {
        reporter_->queue.bind(queue);
        asio::post(strand_, [self = shared_from_this()] {
            self->report(ListenerState::ready, std::nullopt);
            self->acceptNext();
        });
    }
    void cancel() override {
        asio::post(strand_, [self = shared_from_this()] {
            std::error_code ignored;
            self->acceptor_.close(ignored);
            self->retry_.cancel();
            self->report(ListenerState::cancelled, std::nullopt);
        });
    }
    ListenerState state() const override { return reporter_->state(); }
    std::uint16_t port() const override { return port_; }

private:
    void report(ListenerState state, NetworkError error) { reporter_->report(state, std::move(error)); }

    void acceptNext() {
        acceptor_.async_accept(asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error,
                                                                                          asio::ip::tcp::socket socket) {
            if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) return;
            if (error) {
                // Out of descriptors, a connection reset before it was taken...: say so and keep
                // listening a moment later, rather than leave the port deaf for good.
                self->report(ListenerState::waiting, error.message());
                self->retry_.expires_after(kAcceptRetry);
                self->retry_.async_wait(asio::bind_executor(self->strand_, [self](const std::error_code& waitError) {
                    if (waitError || !self->acceptor_.is_open()) return;
                    self->acceptNext();
                }));
                return;
            }
            if (self->reporter_->state() == ListenerState::waiting) self->report(ListenerState::ready, std::nullopt);
            configureTcp(socket);
            auto connection = std::make_shared<AsioStreamConnection<asio::ip::tcp>>(self->io_, std::move(socket));
            self->reporter_->queue.post([weak = std::weak_ptr<AsioTcpListener>(self), connection] {
                const auto listener = weak.lock();
                std::function<void(std::shared_ptr<Connection>)> handler;
                if (listener) {
                    const std::lock_guard lock(listener->mutex_);
                    handler = listener->newConnection_;
                }
                if (handler) {
                    handler(connection);
                } else {
                    connection->cancel();
                }
            });
            self->acceptNext();
        }));
    }

    static constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

    asio::io_context& io_;
    Strand strand_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_{strand_};
    std::uint16_t port_ = 0;
    std::shared_ptr<StateReporter<ListenerState>> reporter_ = std::make_shared<StateReporter<ListenerState>>(
        ListenerState::setup, std::initializer_list<ListenerState>{ListenerState::cancelled});
    mutable std::mutex mutex_; // guards newConnection_
    std::function<void(std::shared_ptr<Connection>)> newConnection_;
};

class AsioUdpListener;

// The listener's socket as its flows see it: senders hold it shared for the length of one
// sendmmsg, the listener closes it exclusively, so a flow can never write into a descriptor
// number that was closed and handed to someone else meanwhile.
class SharedUdpSocket {
public:
    explicit SharedUdpSocket(const Strand& strand) : socket_(strand) {}

    asio::ip::udp::socket& socket() { return socket_; } // the listener's strand only

    // Runs `send` with the descriptor while the socket is open; false when it is closed.
    template <class Send>
    bool withDescriptor(Send&& send) {
        const std::shared_lock lock(mutex_);
        if (closed_) return false;
        send(socket_.native_handle());
        return true;
    }
    void close() {
        const std::unique_lock lock(mutex_);
        closed_ = true;
        std::error_code ignored;
        socket_.close(ignored);
    }

private:
    std::shared_mutex mutex_;
    asio::ip::udp::socket socket_;
    bool closed_ = false;
};

// One peer's datagrams. Receives are fed by the listener; sends go straight to the shared socket.
class AsioUdpFlow final : public DatagramFlow, public std::enable_shared_from_this<AsioUdpFlow> {
public:
    static constexpr std::size_t kMaxQueued = 256;

    AsioUdpFlow(std::weak_ptr<AsioUdpListener> listener, std::shared_ptr<SharedUdpSocket> socket, asio::ip::udp::endpoint peer)
        : listener_(std::move(listener)), socket_(std::move(socket)), peer_(peer) {
        std::memset(&address_, 0, sizeof address_);
        std::memcpy(&address_, peer.data(), peer.size());
        addressLength_ = static_cast<socklen_t>(peer.size());
    }

    void setStateHandler(StateHandler handler) override { reporter_->setHandler(std::move(handler)); }
    ConnectionState state() const override { return reporter_->state(); }
    void start(Executor& queue) override {
        reporter_->queue.bind(queue);
        reporter_->report(ConnectionState::ready);
    }
    void receiveMessage(MessageHandler handler) override {
        std::optional<Bytes> ready;
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) return;
            if (queued_.empty()) {
                handler_ = std::move(handler);
                return;
            }
            ready = std::move(queued_.front());
            queued_.pop_front();
        }
        reporter_->queue.post([handler = std::move(handler), datagram = std::move(*ready)]() mutable {
            handler(std::move(datagram), std::nullopt);
        });
    }
    DatagramBatchResult sendBatch(const std::vector<ByteView>& datagrams) override;
    void cancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return toEndpoint(peer_.address(), peer_.port()); }

    // From the listener's strand.
    void arrived(Bytes datagram) {
        MessageHandler handler;
        {
            const std::lock_guard lock(mutex_);
            if (cancelled_) return;
            if (!handler_) {
                if (queued_.size() == kMaxQueued) queued_.pop_front(); // a peer flooding us loses its oldest
                queued_.push_back(std::move(datagram));
                return;
            }
            handler = std::exchange(handler_, nullptr);
        }
        reporter_->queue.post([handler = std::move(handler), datagram = std::move(datagram)]() mutable {
            handler(std::move(datagram), std::nullopt);
        });
    }

private:

    std::weak_ptr<AsioUdpListener> listener_;
    const std::shared_ptr<SharedUdpSocket> socket_;
    const asio::ip::udp::endpoint peer_;
    sockaddr_storage address_{};
    socklen_t addressLength_ = 0;
    std::shared_ptr<StateReporter<ConnectionState>> reporter_ = std::make_shared<StateReporter<ConnectionState>>(
        ConnectionState::setup, std::initializer_list<ConnectionState>{ConnectionState::cancelled});
    mutable std::mutex mutex_; // guards cancelled_, handler_, queued_
    bool cancelled_ = false;
    MessageHandler handler_;
    std::deque<Bytes> queued_;
};

class AsioUdpListener final : public DatagramListener, public std::enable_shared_from_this<AsioUdpListener> {
public:
    explicit AsioUdpListener(asio::io_context& io)
        : strand_(asio::make_strand(io)), shared_(std::make_shared<SharedUdpSocket>(strand_)), socket_(shared_->socket()) {}

    std::expected<void, std::string> open(const ListenerOptions& options) {
        std::error_code error;
        const asio::ip::udp::endpoint endpoint(bindAddress(options.loopbackOnly), options.port);
        socket_.open(endpoint.protocol(), error);
        // No SO_REUSEADDR: on Linux it would let a second host bind the same UDP port and take
        // some of the keepalives, so a second instance must fail here instead.
        if (!error) allowDualStack(socket_, options.loopbackOnly);
        if (!error) socket_.bind(endpoint, error);
        if (error) return std::unexpected(error.message());
        // Room for a few frames of video in both directions; the kernel caps what it grants.
        std::error_code ignored;
        socket_.set_option(asio::socket_base::send_buffer_size(8 * 1024 * 1024), ignored);
        socket_.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024), ignored);
        port_ = socket_.local_endpoint(error).port();
        return {};
    }

    void setStateHandler(StateHandler handler) override { reporter_->setHandler(std::move(handler)); }
    void setNewFlowHandler(std::function<void(std::shared_ptr<DatagramFlow>)> handler) override {
        const std::lock_guard lock(mutex_);
        newFlow_ = std::move(handler);
    }
    void start(Executor& queue) override {
        reporter_->queue.bind(queue);
        asio::post(strand_, [self = shared_from_this()] {
            self->report(ListenerState::ready, std::nullopt);
            self->receiveNext();
        });
    }
    void cancel() override {
        asio::post(strand_, [self = shared_from_this()] {
            self->shared_->close();
            std::map<asio::ip::udp::endpoint, std::shared_ptr<AsioUdpFlow>> flows;
            {
                const std::lock_guard lock(self->mutex_);
                flows.swap(self->flows_);
            }
            for (auto& [peer, flow] : flows) flow->cancel();
            self->report(ListenerState::cancelled, std::nullopt);
        });
    }
    ListenerState state() const override { return reporter_->state(); }
    std::uint16_t port() const override { return port_; }

    void forget(const asio::ip::udp::endpoint& peer, const AsioUdpFlow* flow) {
        const std::lock_guard lock(mutex_);
        const auto it = flows_.find(peer);
        if (it != flows_.end() && it->second.get() == flow) flows_.erase(it);
    }

private:
    void report(ListenerState state, NetworkError error) { reporter_->report(state, std::move(error)); }

    void receiveNext() {
        socket_.async_receive_from(
            asio::buffer(buffer_), sender_,
            asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error, std::size_t n) {
                if (error == asio::error::operation_aborted || !self->socket_.is_open()) return;
                if (!error) self->dispatch(Bytes(self->buffer_.begin(), self->buffer_.begin() + static_cast<std::ptrdiff_t>(n)));
                self->receiveNext();
            }));
    }

    void dispatch(Bytes datagram) {
        std::shared_ptr<AsioUdpFlow> flow;
        bool created = false;
        std::function<void(std::shared_ptr<DatagramFlow>)> handler;
        {
            const std::lock_guard lock(mutex_);
            auto& slot = flows_[sender_];
            if (!slot) {
                slot = std::make_shared<AsioUdpFlow>(weak_from_this(), shared_, sender_);
                created = true;
                handler = newFlow_;
            }
            flow = slot;
        }
        flow->arrived(std::move(datagram));
        if (created) {
            reporter_->queue.post([handler, flow] {
                if (handler) {
                    handler(flow);
                } else {
                    flow->cancel();
                }
            });
        }
    }

    Strand strand_;
    std::shared_ptr<SharedUdpSocket> shared_; // flows keep it: the socket object outlives the listener
    asio::ip::udp::socket& socket_;
    std::uint16_t port_ = 0;
    std::array<std::uint8_t, 65536> buffer_{};
    asio::ip::udp::endpoint sender_;
    std::shared_ptr<StateReporter<ListenerState>> reporter_ = std::make_shared<StateReporter<ListenerState>>(
        ListenerState::setup, std::initializer_list<ListenerState>{ListenerState::cancelled});
    mutable std::mutex mutex_; // guards newFlow_ and flows_
    std::function<void(std::shared_ptr<DatagramFlow>)> newFlow_;
    std::map<asio::ip::udp::endpoint, std::shared_ptr<AsioUdpFlow>> flows_;
};

DatagramBatchResult AsioUdpFlow::sendBatch(const std::vector<ByteView>& datagrams) {
    // One sendmmsg for a whole frame (the kernel takes up to 1,024 messages per call). Never wait
    // for room: a full buffer drops the frame's tail, which the caller turns into a keyframe request.
    constexpr std::size_t kChunk = 1024;
    thread_local std::vector<mmsghdr> messages(kChunk);
    thread_local std::vector<iovec> vectors(kChunk);
    DatagramBatchResult result;
    {
        const std::lock_guard lock(mutex_);
        if (cancelled_) result.error = "flow cancelled";
    }
    std::size_t next = 0;
    const bool open = !result.error && socket_->withDescriptor([&](int fd) {
        while (next < datagrams.size()) {
            const std::size_t count = std::min(kChunk, datagrams.size() - next);
            for (std::size_t i = 0; i < count; ++i) {
                const auto datagram = datagrams[next + i];
                vectors[i] = iovec{const_cast<std::uint8_t*>(datagram.data()), datagram.size()};
                messages[i] = mmsghdr{};
                messages[i].msg_hdr.msg_name = &address_;
                messages[i].msg_hdr.msg_namelen = addressLength_;
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            const int sent = ::sendmmsg(fd, messages.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0) {
                if (errno != EAGAIN) result.error = std::error_code(errno, std::system_category()).message();
                return;
            }
            for (int i = 0; i < sent; ++i) result.sentBytes += datagrams[next + static_cast<std::size_t>(i)].size();
            result.sentDatagrams += static_cast<std::size_t>(sent);
            next += static_cast<std::size_t>(sent);
            if (static_cast<std::size_t>(sent) < count) return; // the buffer filled part-way
        }
    });
    if (!open && !result.error) result.error = "socket closed";
    result.droppedDatagrams = datagrams.size() - next;
    return result;
}

void AsioUdpFlow::cancel() {
    {
        const std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        handler_ = nullptr;
        queued_.clear();
    }
    reporter_->report(ConnectionState::cancelled);
    if (auto listener = listener_.lock()) listener->forget(peer_, this);
}

} // namespace

AsioNetworkFactory::AsioNetworkFactory() : io_(WorkerPool::io().context()) {}

AsioNetworkFactory::AsioNetworkFactory(asio::io_context& io) : io_(io) {}

std::expected<std::shared_ptr<StreamListener>, std::string> AsioNetworkFactory::makeStreamListener(const ListenerOptions& options) {
    auto listener = std::make_shared<AsioTcpListener>(io_);
    if (auto opened = listener->open(options); !opened) return std::unexpected(opened.error());
    return listener;
}

std::expected<std::shared_ptr<DatagramListener>, std::string> AsioNetworkFactory::makeDatagramListener(const ListenerOptions& options) {
    auto listener = std::make_shared<AsioUdpListener>(io_);
    if (auto opened = listener->open(options); !opened) return std::unexpected(opened.error());
    return listener;
}

std::shared_ptr<Connection> AsioNetworkFactory::makeTcpConnection(const std::string& host, std::uint16_t port) {
    return std::make_shared<AsioStreamConnection<asio::ip::tcp>>(io_, host, port);
}

std::shared_ptr<Connection> AsioNetworkFactory::makeUnixConnection(const std::string& path) {
    return std::make_shared<AsioStreamConnection<asio::local::stream_protocol>>(io_, path, 0);
}

} // namespace kiv
