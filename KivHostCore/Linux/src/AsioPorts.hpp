#pragma once
// What the Asio implementations of the network ports share: endpoint conversion, socket options,
// the queue handlers run on and the state reporter. Internal to the Linux target.
#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/strand.hpp>
#include <expected>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KivHostCore/Platform/Network.hpp"

namespace kiv::asio_ports {

using Strand = asio::strand<asio::io_context::executor_type>;

inline NetworkEndpoint toEndpoint(const asio::ip::address& address, std::uint16_t port) {
    if (address.is_v4()) return NetworkEndpoint::hostPort(IPv4Address{address.to_v4().to_bytes()}, port);
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return NetworkEndpoint::hostPort(IPv4Address{asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_bytes()},
                                         port);
    }
    return NetworkEndpoint::hostPort(IPv6Address{v6.to_bytes()}, port);
}

// Keepalive idle 2 s, interval 1 s, count 3: a dead peer is noticed about 5 s after it goes quiet.
inline void configureTcp(asio::ip::tcp::socket& socket) {
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

inline asio::ip::address bindAddress(bool loopbackOnly) {
    return loopbackOnly ? asio::ip::address(asio::ip::address_v4::loopback())
                        : asio::ip::address(asio::ip::address_v6::any());
}

template <class Socket>
void allowDualStack(Socket& socket, bool loopbackOnly) {
    if (loopbackOnly) return;
    std::error_code ignored;
    socket.set_option(asio::ip::v6_only(false), ignored);
}

// A connection accepted by a listener (already connected).
std::shared_ptr<Connection> acceptedTcpConnection(asio::io_context& io, asio::ip::tcp::socket socket);
// Outgoing connections, made when started.
std::shared_ptr<Connection> outgoingTcpConnection(asio::io_context& io, std::string host, std::uint16_t port);
std::shared_ptr<Connection> outgoingUnixConnection(asio::io_context& io, std::string path);
std::expected<std::shared_ptr<StreamListener>, std::string> openTcpListener(asio::io_context& io,
                                                                            const ListenerOptions& options);
std::expected<std::shared_ptr<DatagramListener>, std::string> openUdpListener(asio::io_context& io,
                                                                              const ListenerOptions& options);

} // namespace kiv::asio_ports
