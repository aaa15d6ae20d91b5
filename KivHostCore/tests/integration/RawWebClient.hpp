#pragma once
// A deliberately misbehaving web link client for fault tests: raw TCP, TLS without a handshake,
// WebSocket messages of any kind and size, and a reader that never reads.
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

namespace kiv::test {

class RawWebClient {
public:
    // TLS (the certificate is not checked) and the WebSocket upgrade of /link on 127.0.0.1:port,
    // as a page of `origin` would open it (none: as a program).
    static std::expected<std::unique_ptr<RawWebClient>, std::string> open(std::uint16_t port,
                                                                          const std::string& origin = {});
    ~RawWebClient();

    bool sendBinary(const std::vector<std::uint8_t>& data);
    bool sendText(const std::string& text);
    // The next binary message, or why there is none (closed, timed out).
    std::expected<std::vector<std::uint8_t>, std::string> read(std::chrono::milliseconds timeout);
    // Reads and drops messages until the host closes the link; false if it stays open.
    bool closedWithin(std::chrono::milliseconds timeout);

    struct Impl;

private:
    explicit RawWebClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// One plain-HTTP GET on loopback; the status code and body, or why not.
std::expected<std::pair<int, std::string>, std::string> plainGet(std::uint16_t port, const std::string& target,
                                                                 const std::string& host = "127.0.0.1");
// A TCP connection that says nothing (a TLS handshake never started); closed when destroyed.
class SilentConnection {
public:
    explicit SilentConnection(std::uint16_t port);
    ~SilentConnection();
    // Whether the host has closed it by now (a read sees the end).
    bool closedByHost();

private:
    int fd_ = -1;
};

} // namespace kiv::test
