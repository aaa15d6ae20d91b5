#pragma once
// One upgraded WebSocket of the web listener as a byte-stream Connection, and the state reporter it
// shares with the listener. Internal to WebServer.cpp's family: Boost.Asio only, never the
// standalone Asio of the other Linux ports.
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <fmt/format.h>
#include <mutex>

#include "KivHostCore/Linux/WebServer.hpp"

namespace kiv::web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

// Where the handlers of one object run, and what it last reported.
template <class State>
class Reporter {
public:
    using Handler = std::function<void(State, const NetworkError&)>;
    explicit Reporter(State initial) : state_(initial) {}

    void bind(Executor& queue) {
        const std::lock_guard lock(mutex_);
        queue_ = queue.handle();
    }
    void setHandler(Handler handler) {
        const std::lock_guard lock(mutex_);
        handler_ = std::make_shared<Handler>(std::move(handler));
    }
    State state() const {
        const std::lock_guard lock(mutex_);
        return state_;
    }
    void post(Task task) {
        ExecutorHandle queue;
        {
            const std::lock_guard lock(mutex_);
            queue = queue_;
        }
        queue.post(std::move(task));
    }
    void report(State state, NetworkError error, State final) {
        std::shared_ptr<Handler> handler;
        {
            const std::lock_guard lock(mutex_);
            if (state_ == final) return;
            state_ = state;
            handler = handler_;
        }
        post([handler, state, error = std::move(error)] {
            if (handler && *handler) (*handler)(state, error);
        });
    }

private:
    mutable std::mutex mutex_;
    State state_;
    std::shared_ptr<Handler> handler_;
    ExecutorHandle queue_;
};

// One upgraded WebSocket as a byte-stream Connection. Socket work runs on the listener's single
// io thread; the public calls post there. Reads stop while 256 KiB lie unconsumed, so a peer
// that floods is held back by TCP instead of host memory; sends queue up to a bound and close
// the link beyond it.
template <class Stream>
class WebSocketConnection final : public Connection, public std::enable_shared_from_this<WebSocketConnection<Stream>> {
public:
    static constexpr std::size_t kReadAhead = 262144;

    WebSocketConnection(websocket::stream<Stream> ws, NetworkEndpoint peer, const WebServerOptions& options)
        : ws_(std::move(ws)), peer_(std::move(peer)), maxQueued_(options.maxQueuedBytes) {}

    void setStateHandler(StateHandler handler) override { reporter_.setHandler(std::move(handler)); }
    ConnectionState state() const override { return reporter_.state(); }
    void start(Executor& queue) override {
        reporter_.bind(queue);
        reporter_.report(ConnectionState::ready, std::nullopt, ConnectionState::cancelled);
        onIo([](WebSocketConnection& self) { self.pump(); });
    }
    void receive(std::size_t minimum, std::size_t maximum, ReceiveHandler handler) override {
        onIo([minimum, maximum, handler = std::move(handler)](WebSocketConnection& self) mutable {
            self.want_ = Want{std::max<std::size_t>(1, minimum), std::max<std::size_t>(1, maximum), std::move(handler)};
            self.pump();
        });
    }
    void send(Bytes data, SendCompletion completion) override {
        onIo([data = std::move(data), completion = std::move(completion)](WebSocketConnection& self) mutable {
            if (self.ended_) return self.complete(std::move(completion), "connection closed");
            self.queued_ += data.size();
            self.writes_.push_back({std::move(data), std::move(completion)});
            if (self.queued_ > self.maxQueued_) {
                return self.end(fmt::format("the device stopped reading: {} bytes wait to be sent", self.queued_),
                                ConnectionState::failed);
            }
            self.writeNext();
        });
    }
    void cancel() override {
        onIo([](WebSocketConnection& self) { self.end("cancelled", ConnectionState::cancelled); });
    }
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return peer_; }

private:
    struct Want {
        std::size_t minimum = 1;
        std::size_t maximum = 1;
        ReceiveHandler handler;
    };
    struct Write {
        Bytes data;
        SendCompletion completion;
    };

    template <class Fn>
    void onIo(Fn&& fn) {
        net::post(ws_.get_executor(),
                  [self = this->shared_from_this(), fn = std::forward<Fn>(fn)]() mutable { fn(*self); });
    }

    void complete(SendCompletion completion, NetworkError error) {
        if (!completion) return;
        reporter_.post([completion = std::move(completion), error = std::move(error)] { completion(error); });
    }

    // Hands buffered bytes to a waiting receive and keeps one read outstanding while there is room.
    void pump() {
        if (want_ && (inbound_.size() >= want_->minimum || (ended_ && !inbound_.empty()))) {
            const auto count = std::min(want_->maximum, inbound_.size());
            Bytes chunk(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(count));
            inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(count));
            auto handler = std::move(want_->handler);
            want_.reset();
            reporter_.post([handler = std::move(handler), chunk = std::move(chunk)]() mutable {
                handler(std::move(chunk), false, std::nullopt);
            });
        } else if (want_ && ended_) {
            auto handler = std::move(want_->handler);
            want_.reset();
            reporter_.post([handler = std::move(handler), complete = peerClosed_, error = endError_] {
                handler({}, complete, complete ? NetworkError() : NetworkError(error));
            });
        }
        if (!ended_ && !reading_ && inbound_.size() < kReadAhead && reporter_.state() == ConnectionState::ready)
            readNext();
    }

    void readNext() {
        reading_ = true;
        ws_.async_read(readBuffer_, [self = this->shared_from_this()](beast::error_code error, std::size_t) {
            self->reading_ = false;
            if (self->ended_) return;
            if (error == websocket::error::closed) {
                self->peerClosed_ = true;
                return self->end("closed by the device", ConnectionState::cancelled);
            }
            if (error) return self->end(error.message(), ConnectionState::failed);
            if (!self->ws_.got_binary()) return self->end("a text message on a binary link", ConnectionState::failed);
            const auto data = self->readBuffer_.data();
            const auto* begin = static_cast<const std::uint8_t*>(data.data());
            self->inbound_.insert(self->inbound_.end(), begin, begin + data.size());
            self->readBuffer_.consume(data.size());
            self->pump();
        });
    }

    void writeNext() {
        if (writing_ || writes_.empty() || ended_) return;
        writing_ = true;
        ws_.binary(true);
        ws_.async_write(net::buffer(writes_.front().data),
                        [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                            self->writing_ = false;
                            if (self->writes_.empty()) return; // failed by end() meanwhile
                            auto done = std::move(self->writes_.front());
                            self->writes_.pop_front();
                            self->queued_ -= done.data.size();
                            if (error) {
                                self->complete(std::move(done.completion), error.message());
                                return self->end(error.message(), ConnectionState::failed);
                            }
                            self->complete(std::move(done.completion), std::nullopt);
                            self->writeNext();
                        });
    }

    void end(std::string reason, ConnectionState state) {
        if (ended_) return;
        ended_ = true;
        endError_ = reason;
        // A write in progress still owns its buffer: it completes (with an error) by itself.
        const std::size_t keep = writing_ ? 1 : 0;
        while (writes_.size() > keep) {
            complete(std::move(writes_.back().completion), reason);
            queued_ -= writes_.back().data.size();
            writes_.pop_back();
        }
        if (peerClosed_ || state == ConnectionState::failed) {
            beast::error_code ignored;
            beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
            beast::get_lowest_layer(ws_).close();
        } else {
            // An orderly close frame, bounded by the stream's own timeout.
            ws_.async_close(websocket::close_code::normal, [self = this->shared_from_this()](beast::error_code) {
                beast::get_lowest_layer(self->ws_).close();
            });
        }
        reporter_.report(state, state == ConnectionState::failed ? NetworkError(reason) : std::nullopt,
                         ConnectionState::cancelled);
        pump();
    }

    websocket::stream<Stream> ws_;
    const NetworkEndpoint peer_;
    const std::size_t maxQueued_;
    Reporter<ConnectionState> reporter_{ConnectionState::setup};
    beast::flat_buffer readBuffer_;
    Bytes inbound_;
    std::optional<Want> want_;
    std::deque<Write> writes_;
    std::size_t queued_ = 0;
    bool reading_ = false;
    bool writing_ = false;
    bool ended_ = false;
    bool peerClosed_ = false;
    std::string endError_;
};

} // namespace kiv::web
