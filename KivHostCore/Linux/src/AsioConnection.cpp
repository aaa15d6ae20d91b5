// Byte-stream connections on Asio: TCP (accepted or outgoing) and unix sockets.
#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <deque>

#include "AsioPorts.hpp"

namespace kiv::asio_ports {

namespace {

template <class Protocol>
class AsioStreamConnection final : public Connection,
                                   public std::enable_shared_from_this<AsioStreamConnection<Protocol>> {
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
            self->readAtLeast(std::make_shared<Bytes>(), std::max<std::size_t>(minimum, 1), maximum,
                              std::move(handler));
        });
    }
    void send(Bytes data, SendCompletion completion) override {
        asio::post(strand_,
                   [self = shared_from_this(), data = std::move(data), completion = std::move(completion)]() mutable {
                       if (self->closed_) {
                           if (completion)
                               self->reporter_->queue.post(
                                   [completion = std::move(completion)] { completion("connection closed"); });
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
            socket_.async_connect(typename Protocol::endpoint(host_),
                                  [self = shared_from_this()](const std::error_code& error) {
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
        resolver->async_resolve(host_, std::to_string(port_),
                                [self = shared_from_this(), resolver](const std::error_code& error, auto results) {
                                    if (error) {
                                        self->close(ConnectionState::failed, error.message());
                                        return;
                                    }
                                    asio::async_connect(
                                        self->socket_, results,
                                        [self](const std::error_code& connectError, const auto& endpoint) {
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

    void readAtLeast(std::shared_ptr<Bytes> collected, std::size_t minimum, std::size_t maximum,
                     ReceiveHandler handler) {
        const std::size_t have = collected->size();
        collected->resize(maximum);
        socket_.async_read_some(
            asio::buffer(collected->data() + have, maximum - have),
            asio::bind_executor(
                strand_, [self = shared_from_this(), collected, have, minimum, maximum,
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
        asio::async_write(
            socket_, asio::buffer(writes_.front().data),
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
        ConnectionState::setup,
        std::initializer_list<ConnectionState>{ConnectionState::failed, ConnectionState::cancelled});
    mutable std::mutex mutex_; // guards peer_
    std::optional<NetworkEndpoint> peer_;
    std::deque<Write> writes_; // strand only
    bool closed_ = false;      // strand only
};

} // namespace

std::shared_ptr<Connection> acceptedTcpConnection(asio::io_context& io, asio::ip::tcp::socket socket) {
    return std::make_shared<AsioStreamConnection<asio::ip::tcp>>(io, std::move(socket));
}

std::shared_ptr<Connection> outgoingTcpConnection(asio::io_context& io, std::string host, std::uint16_t port) {
    return std::make_shared<AsioStreamConnection<asio::ip::tcp>>(io, std::move(host), port);
}

std::shared_ptr<Connection> outgoingUnixConnection(asio::io_context& io, std::string path) {
    return std::make_shared<AsioStreamConnection<asio::local::stream_protocol>>(io, std::move(path), 0);
}

} // namespace kiv::asio_ports
