// The TCP listener on Asio: accepts connections, and keeps listening through accept errors.
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "AsioPorts.hpp"

namespace kiv::asio_ports {

namespace {

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
            auto connection = acceptedTcpConnection(self->io_, std::move(socket));
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

} // namespace

std::expected<std::shared_ptr<StreamListener>, std::string> openTcpListener(asio::io_context& io,
                                                                            const ListenerOptions& options) {
    auto listener = std::make_shared<AsioTcpListener>(io);
    if (auto opened = listener->open(options); !opened) return std::unexpected(opened.error());
    return listener;
}

} // namespace kiv::asio_ports
