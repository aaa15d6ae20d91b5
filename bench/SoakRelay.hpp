#pragma once
// The Wi-Fi path of the soak: a relay on 127.0.0.2 in front of a host that listens on 127.0.0.1,
// with the same ports, so a device told "127.0.0.2:PORT" reaches the host's video port through it
// too (the host announces only the port). TCP is passed through untouched; video datagrams towards
// the devices are dropped with a seeded probability and delayed by a seeded jitter, in order, as a
// busy radio would (this kernel has no netem). One thread of its own.
#include <sys/socket.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kiv::soak {

class LossyRelay {
public:
    struct Options {
        std::uint16_t controlPort = 0;
        std::uint16_t videoPort = 0;
        double lossPercent = 0;
        int jitterMs = 0;
        std::uint32_t seed = 1;
    };

    explicit LossyRelay(Options options) : options_(options), random_(options.seed) {}
    ~LossyRelay() {
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    // Binds both ports on 127.0.0.2; false with the reason in `error` when one is taken.
    bool start(std::string& error) {
        std::error_code ec;
        const auto front = asio::ip::make_address("127.0.0.2");
        acceptor_.open(asio::ip::tcp::v4(), ec);
        if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind({front, options_.controlPort}, ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) video_.open(asio::ip::udp::v4(), ec);
        if (!ec) video_.bind({front, options_.videoPort}, ec);

        if (ec) {
            error = ec.message();
            return false;
        }
        accept();
        receiveFromDevices();
        thread_ = std::thread([this] { io_.run(); });
        return true;
    }

    std::uint64_t datagramsDropped() const { return dropped_; }
    std::uint64_t datagramsPassed() const { return passed_; }

private:
    using Udp = asio::ip::udp;
    using Tcp = asio::ip::tcp;

    // One device's video flow: its own socket towards the host, so the host sees one flow per device.
    struct Flow {
        explicit Flow(asio::io_context& io) : upstream(io, Udp::endpoint(Udp::v4(), 0)), timer(io) {
            // Loss is what the relay decides, not what its socket overflows with: a keyframe or a
            // refinement comes from the host as one burst of a megabyte or more, which a device's
            // own socket takes whole (root may exceed the default cap).
            const int size = 16 << 20;
            if (::setsockopt(upstream.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
                ::setsockopt(upstream.native_handle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        Udp::socket upstream;
        Udp::endpoint device;
        std::array<std::uint8_t, 65536> buffer{};
        asio::steady_timer timer;
        std::vector<std::pair<std::chrono::steady_clock::time_point, std::vector<std::uint8_t>>> delayed;
        std::chrono::steady_clock::time_point lastHeard = std::chrono::steady_clock::now();
    };

    // A TCP connection copied both ways until either side closes.
    struct Pipe : std::enable_shared_from_this<Pipe> {
        explicit Pipe(asio::io_context& io) : device(io), host(io) {}
        Tcp::socket device, host;
        std::array<std::uint8_t, 65536> fromDevice{}, fromHost{};
        void copy(Tcp::socket& from, Tcp::socket& to, std::array<std::uint8_t, 65536>& buffer) {
            from.async_read_some(asio::buffer(buffer),
                                 [self = shared_from_this(), &from, &to, &buffer](std::error_code ec, std::size_t n) {
                                     if (ec) return self->close();
                                     asio::async_write(to, asio::buffer(buffer.data(), n),
                                                       [self, &from, &to, &buffer](std::error_code werr, std::size_t) {
                                                           if (werr) return self->close();
                                                           self->copy(from, to, buffer);
                                                       });
                                 });
        }
        void close() {
            std::error_code ignored;
            device.close(ignored);
            host.close(ignored);
        }
    };

    void accept() {
        auto pipe = std::make_shared<Pipe>(io_);
        acceptor_.async_accept(pipe->device, [this, pipe](std::error_code ec) {
            if (ec) return;
            std::error_code connectError;
            pipe->host.connect({asio::ip::make_address("127.0.0.1"), options_.controlPort}, connectError);
            if (connectError) {
                pipe->close();
            } else {
                pipe->device.set_option(Tcp::no_delay(true), connectError);
                pipe->host.set_option(Tcp::no_delay(true), connectError);
                pipe->copy(pipe->device, pipe->host, pipe->fromDevice);
                pipe->copy(pipe->host, pipe->device, pipe->fromHost);
            }
            accept();
        });
    }

    void receiveFromDevices() {
        video_.async_receive_from(asio::buffer(inbound_), sender_, [this](std::error_code ec, std::size_t n) {
            if (ec == asio::error::operation_aborted) return;
            if (!ec) {
                auto& flow = flowFor(sender_);
                flow.lastHeard = std::chrono::steady_clock::now();
                std::error_code ignored;
                flow.upstream.send_to(asio::buffer(inbound_.data(), n),
                                      {asio::ip::make_address("127.0.0.1"), options_.videoPort}, 0, ignored);
            }
            receiveFromDevices();
        });
    }

    Flow& flowFor(const Udp::endpoint& device) {
        const auto key = device.address().to_string() + ":" + std::to_string(device.port());
        auto it = flows_.find(key);
        if (it != flows_.end()) return *it->second;
        forgetQuietFlows();
        auto flow = std::make_shared<Flow>(io_);
        flow->device = device;
        flows_[key] = flow;
        receiveFromHost(flow);
        return *flow;
    }

    // A device that restarts comes from a new port; its old flow goes once it has been quiet a while.
    void forgetQuietFlows() {
        const auto now = std::chrono::steady_clock::now();
        for (auto it = flows_.begin(); it != flows_.end();) {
            if (now - it->second->lastHeard > std::chrono::seconds(30)) {
                std::error_code ignored;
                it->second->upstream.close(ignored);
                it->second->timer.cancel();
                it = flows_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void receiveFromHost(const std::shared_ptr<Flow>& flow) {
        flow->upstream.async_receive(asio::buffer(flow->buffer), [this, flow](std::error_code ec, std::size_t n) {
            if (ec) return;
            if (std::uniform_real_distribution<double>(0, 100)(random_) < options_.lossPercent) {
                ++dropped_;
            } else {
                ++passed_;
                forward(flow, std::vector<std::uint8_t>(flow->buffer.begin(), flow->buffer.begin() + n));
            }
            receiveFromHost(flow);
        });
    }

    // Each datagram waits 0..jitter ms, but never overtakes the one before it.
    void forward(const std::shared_ptr<Flow>& flow, std::vector<std::uint8_t> datagram) {
        if (options_.jitterMs <= 0) {
            std::error_code ignored;
            video_.send_to(asio::buffer(datagram), flow->device, 0, ignored);
            return;
        }
        auto due = std::chrono::steady_clock::now() +
                   std::chrono::microseconds(std::uniform_int_distribution<int>(0, options_.jitterMs * 1000)(random_));
        if (!flow->delayed.empty()) due = std::max(due, flow->delayed.back().first);
        const bool idle = flow->delayed.empty();
        flow->delayed.emplace_back(due, std::move(datagram));
        if (idle) drain(flow);
    }

    void drain(const std::shared_ptr<Flow>& flow) {
        const auto now = std::chrono::steady_clock::now();
        std::size_t sent = 0;
        for (; sent < flow->delayed.size() && flow->delayed[sent].first <= now; ++sent) {
            std::error_code ignored;
            video_.send_to(asio::buffer(flow->delayed[sent].second), flow->device, 0, ignored);
        }
        flow->delayed.erase(flow->delayed.begin(), flow->delayed.begin() + static_cast<std::ptrdiff_t>(sent));
        if (flow->delayed.empty()) return;
        flow->timer.expires_at(flow->delayed.front().first);
        flow->timer.async_wait([this, flow](std::error_code ec) {
            if (!ec) drain(flow);
        });
    }

    Options options_;
    std::mt19937 random_;
    asio::io_context io_;
    Tcp::acceptor acceptor_{io_};
    Udp::socket video_{io_};
    std::array<std::uint8_t, 65536> inbound_{};
    Udp::endpoint sender_;
    std::map<std::string, std::shared_ptr<Flow>> flows_;
    std::atomic<std::uint64_t> dropped_{0}, passed_{0};
    std::thread thread_;
};

} // namespace kiv::soak
