#pragma once
// The web link's listener on Boost.Beast: HTTPS serving the page's files, with `/link` upgraded to
// a WebSocket whose binary messages are the connection's bytes (one stream item per message on
// the way out). Plain HTTP is served only to loopback peers (a browser reaching the host through
// a reverse-forwarded cable sees http://localhost, a secure context); a LAN peer speaking plain
// HTTP is redirected to HTTPS. Peers outside the local network are closed before anything is
// read. Sockets run on the listener's own thread ("kiv.web"); handlers on the queue given to start().
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "KivHostCore/Platform/Network.hpp"

namespace kiv {

struct WebAsset {
    std::string contentType;
    std::string body;
};

struct WebServerOptions {
    ListenerOptions listen;
    std::string certificatePem;
    std::string privateKeyPem;
    // The page's files by request path ("/index.html"); nothing: 404. Never touches the file system.
    std::function<std::optional<WebAsset>(std::string_view path)> assets;
    std::size_t maxMessageBytes = 270336;       // a control item and its header, with room
    std::size_t maxQueuedBytes = 33554432;      // unsent bytes before a link that stopped reading is closed
    std::chrono::milliseconds handshake{10000}; // TLS handshake and each HTTP request
    std::chrono::milliseconds idle{15000};      // a WebSocket that answers nothing, pings included
    std::size_t maxOpening = 64;                // connections not yet upgraded, in all
    std::size_t maxOpeningPerAddress = 16;
};

std::expected<std::shared_ptr<StreamListener>, std::string> openWebListener(WebServerOptions options);

} // namespace kiv
