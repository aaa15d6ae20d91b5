// The web link's listener on Boost.Beast. This file must not include standalone Asio: its helper
// namespaces clash with Boost.Asio's in one translation unit.
#include "KivHostCore/Linux/WebServer.hpp"

// clang-format off
#include <utility> // before Boost.Asio's awaitable, which uses std::exchange without it
// clang-format on

#include <fcntl.h>
#include <pthread.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/core/detect_ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <fmt/format.h>
#include <map>
#include <mutex>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "WebSocketConnection.hpp"

namespace kiv {

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using net::use_awaitable;
using web::Reporter;
using web::WebSocketConnection;

KivLogger& webLog() {
    static KivLogger logger = KivLog::logger("Transport");
    return logger;
}

NetworkEndpoint toEndpoint(const tcp::endpoint& endpoint) {
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
    if (address.is_v4()) return NetworkEndpoint::hostPort(IPv4Address{address.to_v4().to_bytes()}, endpoint.port());
    return NetworkEndpoint::hostPort(IPv6Address{address.to_v6().to_bytes()}, endpoint.port());
}

bool isLoopback(const NetworkEndpoint& endpoint) {
    if (const auto* v4 = std::get_if<IPv4Address>(&endpoint.host)) return v4->bytes[0] == 127;
    if (const auto* v6 = std::get_if<IPv6Address>(&endpoint.host)) {
        std::array<std::uint8_t, 16> loopback{};
        loopback[15] = 1;
        return v6->bytes == loopback;
    }
    return false;
}

std::string contentTypeOr(const WebAsset& asset) {
    return asset.contentType.empty() ? "application/octet-stream" : asset.contentType;
}

// A Host header safe to echo into a redirect: a name or address with an optional port.
std::optional<std::string> safeHost(std::string_view host) {
    if (host.empty() || host.size() > 255) return std::nullopt;
    for (const char c : host) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']'))
            return std::nullopt;
    }
    return std::string(host);
}

// Plain HTTP is for this computer alone; a name other than a loopback one in Host means a page
// that had a name of its own re-pointed at this computer (DNS rebinding), and is not served.
bool loopbackHost(std::string_view host) {
    if (host.starts_with('[')) {
        const auto end = host.find(']');
        return end != std::string_view::npos && host.substr(1, end - 1) == "::1";
    }
    host = host.substr(0, host.find(':'));
    if (host == "localhost") return true;
    // 127.0.0.0/8 written as a dotted quad.
    if (!host.starts_with("127.")) return false;
    int dots = 0;
    for (const char c : host) {
        if (c == '.') {
            ++dots;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dots == 3;
}

// Whether a browser's upgrade comes from the page this server served. A page of another site,
// open in a browser on the same network, may open a web socket to any address it likes (no
// cross-origin rule stops it): it must not become a device that clicks and types on the desktop.
// Programs that are not browsers send no Origin and are let in, as they are on the other links.
bool sameOrigin(std::string_view origin, std::string_view host, bool secure) {
    if (origin.empty()) return true;
    const std::string_view scheme = secure ? "https://" : "http://";
    if (!origin.starts_with(scheme)) return false;
    origin.remove_prefix(scheme.size());
    if (host.empty() || origin.size() != host.size()) return false;
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(origin[i])) != std::tolower(static_cast<unsigned char>(host[i])))
            return false;
    }
    return true;
}

// One thread for every web socket of the process, started at first use and never stopped: links
// and listeners come and go on it without any of them owning it.
net::io_context& webIo() {
    static auto* io = [] {
        auto* context = new net::io_context(1);
        std::thread([context] {
            ::pthread_setname_np(::pthread_self(), "kiv.web");
            const auto work = net::make_work_guard(*context);
            context->run();
        }).detach();
        return context;
    }();
    return *io;
}

class WebListener final : public StreamListener, public std::enable_shared_from_this<WebListener> {
public:
    explicit WebListener(WebServerOptions options)
        : options_(std::move(options)), tls_(ssl::context::tls_server), acceptor_(io_) {}

    std::expected<void, std::string> open() {
        try {
            tls_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                             ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
            tls_.use_certificate_chain(net::buffer(options_.certificatePem));
            tls_.use_private_key(net::buffer(options_.privateKeyPem), ssl::context::pem);
        } catch (const std::exception& error) {
            return std::unexpected(std::string("the web certificate cannot be used: ") + error.what());
        }
        beast::error_code error;
        const auto address = options_.listen.loopbackOnly ? net::ip::address(net::ip::address_v4::loopback())
                                                          : net::ip::address(net::ip::address_v6::any());
        const tcp::endpoint endpoint(address, options_.listen.port);
        acceptor_.open(endpoint.protocol(), error);
        if (!error) acceptor_.set_option(net::socket_base::reuse_address(true), error);
        if (!error && !options_.listen.loopbackOnly) {
            beast::error_code ignored;
            acceptor_.set_option(net::ip::v6_only(false), ignored);
        }
        if (!error) acceptor_.bind(endpoint, error);
        if (!error) acceptor_.listen(net::socket_base::max_listen_connections, error);
        if (error) return std::unexpected(error.message());
        port_ = acceptor_.local_endpoint(error).port();
        return {};
    }

    void setStateHandler(StateHandler handler) override {
        reporter_.setHandler([handler = std::move(handler)](ListenerState state, const NetworkError& error) {
            if (handler) handler(state, error);
        });
    }
    void setNewConnectionHandler(std::function<void(std::shared_ptr<Connection>)> handler) override {
        const std::lock_guard lock(mutex_);
        newConnection_ = std::make_shared<std::function<void(std::shared_ptr<Connection>)>>(std::move(handler));
    }
    void start(Executor& queue) override {
        reporter_.bind(queue);
        reporter_.report(ListenerState::ready, std::nullopt, ListenerState::cancelled);
        net::co_spawn(io_, acceptLoop(weak_from_this()), net::detached);
    }
    void cancel() override {
        net::post(io_, [weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                beast::error_code ignored;
                self->acceptor_.close(ignored);
            }
        });
        reporter_.report(ListenerState::cancelled, std::nullopt, ListenerState::cancelled);
    }
    ListenerState state() const override { return reporter_.state(); }
    std::uint16_t port() const override { return port_; }

private:
    // Connections not yet upgraded, counted per address so that silent peers cannot use them all.
    struct OpeningSlot {
        OpeningSlot(WebListener* o, std::string a) : owner(o), address(std::move(a)) {}
        OpeningSlot(const OpeningSlot&) = delete;
        OpeningSlot& operator=(const OpeningSlot&) = delete;
        WebListener* owner = nullptr;
        std::string address;
        ~OpeningSlot() {
            if (!owner) return;
            --owner->opening_;
            if (--owner->openingByAddress_[address] == 0) owner->openingByAddress_.erase(address);
        }
    };

    static net::awaitable<void> acceptLoop(std::weak_ptr<WebListener> weak) {
        for (;;) {
            auto self = weak.lock();
            if (!self || !self->acceptor_.is_open()) co_return;
            beast::error_code error;
            auto socket = co_await self->acceptor_.async_accept(net::redirect_error(use_awaitable, error));
            if (error == net::error::operation_aborted || !self->acceptor_.is_open()) co_return;
            if (error) {
                // Out of descriptors and the like: keep listening a moment later.
                net::steady_timer pause(self->io_, std::chrono::milliseconds(100));
                co_await pause.async_wait(net::redirect_error(use_awaitable, error));
                continue;
            }
            self->admit(std::move(socket));
        }
    }

    void admit(tcp::socket socket) {
        beast::error_code error;
        const auto remote = socket.remote_endpoint(error);
        if (error) return;
        const auto peer = toEndpoint(remote);
        const auto address = LocalNetwork::describe(peer);
        if (!LocalNetwork::isLocal(peer)) {
            webLog().warning("Rejected non-LAN web connection " + address);
            return;
        }
        if (opening_ >= options_.maxOpening || openingByAddress_[address] >= options_.maxOpeningPerAddress) {
            webLog().warning(fmt::format("Rejected web connection from {}: {} from it and {} in all are still opening",
                                         address, openingByAddress_[address], opening_));
            if (openingByAddress_[address] == 0) openingByAddress_.erase(address);
            return;
        }
        ++opening_;
        ++openingByAddress_[address];
        socket.set_option(tcp::no_delay(true), error);
        // A program the host starts later must not hold this connection open after the host closes it.
        ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
        net::co_spawn(io_, serve(shared_from_this(), std::move(socket), peer, address), net::detached);
    }

    static net::awaitable<void> serve(std::shared_ptr<WebListener> self, tcp::socket socket, NetworkEndpoint peer,
                                      std::string address) {
        auto slot = std::make_unique<OpeningSlot>(self.get(), address);
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        stream.expires_after(self->options_.handshake);
        beast::error_code detectError;
        const bool isTls =
            co_await beast::async_detect_ssl(stream, buffer, net::redirect_error(use_awaitable, detectError));
        if (detectError) {
            webLog().info(
                fmt::format("Web connection from {} ended before it spoke: {}", address, detectError.message()));
            co_return;
        }
        if (isTls) {
            beast::ssl_stream<beast::tcp_stream> secure(std::move(stream), self->tls_);
            beast::error_code handshakeError;
            const auto used = co_await secure.async_handshake(ssl::stream_base::server, buffer.data(),
                                                              net::redirect_error(use_awaitable, handshakeError));
            if (handshakeError) {
                webLog().info(fmt::format("Web connection from {} ended in the TLS handshake: {}", address,
                                          handshakeError.message()));
                co_return;
            }
            buffer.consume(used);
            co_await self->serveHttp(std::move(secure), std::move(buffer), peer, address, std::move(slot), true);
        } else {
            co_await self->serveHttp(std::move(stream), std::move(buffer), peer, address, std::move(slot), false);
        }
    }

    template <class Stream>
    net::awaitable<void> serveHttp(Stream stream, beast::flat_buffer buffer, NetworkEndpoint peer, std::string address,
                                   std::unique_ptr<OpeningSlot> slot, bool secure) {
        const auto opening = std::move(slot); // released when the link is upgraded or this ends
        beast::error_code ignoredError;
        for (;;) {
            beast::get_lowest_layer(stream).expires_after(options_.handshake);
            http::request_parser<http::empty_body> parser;
            parser.header_limit(8192);
            parser.body_limit(0);
            beast::error_code readError;
            co_await http::async_read(stream, buffer, parser, net::redirect_error(use_awaitable, readError));
            if (readError) co_return;
            auto request = parser.release();
            const std::string target(request.target());

            if (!secure && !isLoopback(peer)) {
                const auto host =
                    safeHost(std::string_view(request[http::field::host].data(), request[http::field::host].size()));
                http::response<http::string_body> response{http::status::moved_permanently, request.version()};
                const auto body = fmt::format("This port speaks HTTPS: open https://{}/\n", host.value_or("<host>"));
                if (host) response.set(http::field::location, fmt::format("https://{}/", *host));
                respond(response, "text/plain; charset=utf-8", body, false);
                co_await http::async_write(stream, response, net::redirect_error(use_awaitable, ignoredError));
                co_return;
            }
            if (!secure &&
                !loopbackHost(std::string_view(request[http::field::host].data(), request[http::field::host].size()))) {
                webLog().warning("Refused a plain HTTP request from " + address +
                                 " for another name than this computer's own (localhost)");
                http::response<http::string_body> response{http::status::forbidden, request.version()};
                respond(response, "text/plain; charset=utf-8", "Open http://localhost:PORT/ on this computer\n", false);
                co_await http::async_write(stream, response, net::redirect_error(use_awaitable, ignoredError));
                co_return;
            }
            if (websocket::is_upgrade(request)) {
                if (target != "/link") {
                    http::response<http::string_body> response{http::status::not_found, request.version()};
                    respond(response, "text/plain; charset=utf-8", "Not found\n", false);
                    co_await http::async_write(stream, response, net::redirect_error(use_awaitable, ignoredError));
                    co_return;
                }
                const std::string_view origin(request[http::field::origin].data(), request[http::field::origin].size());
                const std::string_view host(request[http::field::host].data(), request[http::field::host].size());
                if (!sameOrigin(origin, host, secure)) {
                    const auto site = origin.find("//");
                    webLog().warning(
                        fmt::format("Refused a web link from {}: its page came from {}, not from this host", address,
                                    safeHost(site == std::string_view::npos ? origin : origin.substr(site + 2))
                                        .value_or("elsewhere")));
                    http::response<http::string_body> response{http::status::forbidden, request.version()};
                    respond(response, "text/plain; charset=utf-8", "Only the page this host serves may link\n", false);
                    co_await http::async_write(stream, response, net::redirect_error(use_awaitable, ignoredError));
                    co_return;
                }
                co_await upgrade(std::move(stream), std::move(buffer), std::move(request), peer, address);
                co_return;
            }
            http::response<http::string_body> response{http::status::ok, request.version()};
            const bool keepAlive = request.keep_alive();
            if (request.method() != http::verb::get && request.method() != http::verb::head) {
                response.result(http::status::method_not_allowed);
                respond(response, "text/plain; charset=utf-8", "Only GET and HEAD\n", false);
            } else {
                auto path = target.substr(0, target.find_first_of("?#"));
                if (path == "/") path = "/index.html";
                auto asset = options_.assets ? options_.assets(path) : std::nullopt;
                if (!asset) {
                    response.result(http::status::not_found);
                    respond(response, "text/plain; charset=utf-8", "Not found\n", keepAlive);
                } else {
                    respond(response, contentTypeOr(*asset), std::move(asset->body), keepAlive);
                    if (request.method() == http::verb::head) response.body().clear();
                }
            }
            beast::error_code writeError;
            co_await http::async_write(stream, response, net::redirect_error(use_awaitable, writeError));
            if (writeError || !response.keep_alive()) {
                beast::error_code ignored;
                beast::get_lowest_layer(stream).socket().shutdown(tcp::socket::shutdown_send, ignored);
                co_return;
            }
        }
    }

    template <class Stream>
    net::awaitable<void> upgrade(Stream stream, beast::flat_buffer buffer, http::request<http::empty_body> request,
                                 NetworkEndpoint peer, std::string address) {
        beast::get_lowest_layer(stream).expires_never();
        websocket::stream<Stream> ws(std::move(stream));
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = options_.handshake;
        timeout.idle_timeout = options_.idle;
        timeout.keep_alive_pings = true;
        ws.set_option(timeout);
        ws.read_message_max(options_.maxMessageBytes);
        ws.auto_fragment(false);
        if (buffer.size() > 0) {
            webLog().warning("Web link from " + address + " sent data before its upgrade was answered");
            co_return;
        }
        beast::error_code acceptError;
        co_await ws.async_accept(request, net::redirect_error(use_awaitable, acceptError));
        if (acceptError) co_return;
        auto connection = std::make_shared<WebSocketConnection<Stream>>(std::move(ws), peer, options_);
        std::shared_ptr<std::function<void(std::shared_ptr<Connection>)>> handler;
        {
            const std::lock_guard lock(mutex_);
            handler = newConnection_;
        }
        reporter_.post([handler, connection] {
            if (handler && *handler) {
                (*handler)(connection);
            } else {
                connection->cancel();
            }
        });
    }

    static void respond(http::response<http::string_body>& response, const std::string& type, std::string body,
                        bool keepAlive) {
        response.set(http::field::server, "KivDisplay");
        response.set(http::field::content_type, type);
        response.set(http::field::cache_control, "no-cache");
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Content-Security-Policy",
                     "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'");
        response.body() = std::move(body);
        response.keep_alive(keepAlive);
        response.prepare_payload();
    }

    WebServerOptions options_;
    net::io_context& io_ = webIo();
    ssl::context tls_;
    tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    Reporter<ListenerState> reporter_{ListenerState::setup};
    std::mutex mutex_;
    std::shared_ptr<std::function<void(std::shared_ptr<Connection>)>> newConnection_;
    std::size_t opening_ = 0; // web thread only, like the map
    std::map<std::string, std::size_t> openingByAddress_;
};

} // namespace

std::expected<std::shared_ptr<StreamListener>, std::string> openWebListener(WebServerOptions options) {
    auto listener = std::make_shared<WebListener>(std::move(options));
    if (auto opened = listener->open(); !opened) return std::unexpected(opened.error());
    return listener;
}

} // namespace kiv
