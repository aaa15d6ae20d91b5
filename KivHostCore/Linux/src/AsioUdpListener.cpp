// The UDP listener on Asio: one socket, its datagrams split into one flow per remote endpoint;
// flows send in batches (sendmmsg) on the socket they share.
#include <sys/socket.h>

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <shared_mutex>

#include "AsioPorts.hpp"

namespace kiv::asio_ports {

namespace {

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

    AsioUdpFlow(std::weak_ptr<AsioUdpListener> listener, std::shared_ptr<SharedUdpSocket> socket,
                asio::ip::udp::endpoint peer)
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
        : strand_(asio::make_strand(io)), shared_(std::make_shared<SharedUdpSocket>(strand_)),
          socket_(shared_->socket()) {}

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
            for (auto& [peer, flow] : flows)
                flow->cancel();
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
                if (!error)
                    self->dispatch(
                        Bytes(self->buffer_.begin(), self->buffer_.begin() + static_cast<std::ptrdiff_t>(n)));
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
            for (int i = 0; i < sent; ++i)
                result.sentBytes += datagrams[next + static_cast<std::size_t>(i)].size();
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

std::expected<std::shared_ptr<DatagramListener>, std::string> openUdpListener(asio::io_context& io,
                                                                              const ListenerOptions& options) {
    auto listener = std::make_shared<AsioUdpListener>(io);
    if (auto opened = listener->open(options); !opened) return std::unexpected(opened.error());
    return listener;
}

} // namespace kiv::asio_ports
