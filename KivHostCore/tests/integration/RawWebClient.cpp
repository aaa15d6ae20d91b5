// Boost.Beast, like the host's web listener; standalone Asio must stay out of this file.
#include "RawWebClient.hpp"

// clang-format off
#include <utility> // before Boost.Asio's awaitable, which uses std::exchange without it
// clang-format on

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cerrno>

namespace kiv::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

struct RawWebClient::Impl {
    net::io_context io;
    net::ssl::context tls{net::ssl::context::tls_client};
    websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws{io, tls};
};

RawWebClient::RawWebClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RawWebClient::~RawWebClient() {
    beast::error_code ignored;
    beast::get_lowest_layer(impl_->ws).socket().close(ignored);
}

std::expected<std::unique_ptr<RawWebClient>, std::string> RawWebClient::open(std::uint16_t port,
                                                                             const std::string& origin) {
    auto impl = std::make_unique<Impl>();
    impl->tls.set_verify_mode(net::ssl::verify_none);
    try {
        auto& lowest = beast::get_lowest_layer(impl->ws);
        lowest.expires_after(std::chrono::seconds(20));
        lowest.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
        impl->ws.next_layer().handshake(net::ssl::stream_base::client);
        if (!origin.empty()) {
            impl->ws.set_option(websocket::stream_base::decorator(
                [origin](websocket::request_type& request) { request.set(beast::http::field::origin, origin); }));
        }
        impl->ws.handshake("127.0.0.1:" + std::to_string(port), "/link");
        lowest.expires_never();
        impl->ws.binary(true);
    } catch (const std::exception& error) {
        return std::unexpected(std::string(error.what()));
    }
    return std::unique_ptr<RawWebClient>(new RawWebClient(std::move(impl)));
}

bool RawWebClient::sendBinary(const std::vector<std::uint8_t>& data) {
    beast::error_code error;
    impl_->ws.binary(true);
    beast::get_lowest_layer(impl_->ws).expires_after(std::chrono::seconds(20));
    impl_->ws.write(net::buffer(data), error);
    return !error;
}

bool RawWebClient::sendText(const std::string& text) {
    beast::error_code error;
    impl_->ws.text(true);
    beast::get_lowest_layer(impl_->ws).expires_after(std::chrono::seconds(20));
    impl_->ws.write(net::buffer(text), error);
    return !error;
}

std::expected<std::vector<std::uint8_t>, std::string> RawWebClient::read(std::chrono::milliseconds timeout) {
    beast::flat_buffer buffer;
    beast::error_code error;
    beast::get_lowest_layer(impl_->ws).expires_after(timeout);
    impl_->ws.read(buffer, error);
    if (error) return std::unexpected(error.message());
    const auto* data = static_cast<const std::uint8_t*>(buffer.data().data());
    return std::vector<std::uint8_t>(data, data + buffer.size());
}

bool RawWebClient::closedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto message = read(left);
        if (!message) return message.error() != "The socket was closed due to a timeout";
    }
    return false;
}

std::expected<std::pair<int, std::string>, std::string> plainGet(std::uint16_t port, const std::string& target,
                                                                 const std::string& host) {
    try {
        net::io_context io;
        beast::tcp_stream stream(io);
        stream.expires_after(std::chrono::seconds(20));
        stream.connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
        beast::http::request<beast::http::empty_body> request{beast::http::verb::get, target, 11};
        request.set(beast::http::field::host, host);
        beast::http::write(stream, request);
        beast::flat_buffer buffer;
        beast::http::response<beast::http::string_body> response;
        beast::http::read(stream, buffer, response);
        return std::pair{static_cast<int>(response.result_int()), response.body()};
    } catch (const std::exception& error) {
        return std::unexpected(std::string(error.what()));
    }
}

SilentConnection::SilentConnection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

SilentConnection::~SilentConnection() {
    if (fd_ >= 0) ::close(fd_);
}

bool SilentConnection::closedByHost() {
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char byte = 0;
    const auto n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

} // namespace kiv::test
