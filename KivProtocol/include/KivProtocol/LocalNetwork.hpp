#pragma once
// Which peers count as "local network", and how peers are named in logs.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kiv {

struct IPv4Address {
    std::array<std::uint8_t, 4> bytes{};
    bool operator==(const IPv4Address&) const = default;
};

struct IPv6Address {
    std::array<std::uint8_t, 16> bytes{};
    bool operator==(const IPv6Address&) const = default;
};

struct HostName {
    std::string name;
    bool operator==(const HostName&) const = default;
};

using NetworkHost = std::variant<HostName, IPv4Address, IPv6Address>;

// A peer as the networking layer reports it. Only host-and-port endpoints can be local;
// the other kinds (service, URL, socket path) carry just their text form.
struct NetworkEndpoint {
    enum class Kind { hostPort, service, url, unixPath };
    Kind kind = Kind::hostPort;
    NetworkHost host;
    std::uint16_t port = 0;
    std::string text; // for the non-host-port kinds

    static NetworkEndpoint hostPort(NetworkHost host, std::uint16_t port);
    static NetworkEndpoint other(Kind kind, std::string text);
    bool operator==(const NetworkEndpoint&) const = default;
};

namespace LocalNetwork {
bool isLocal(const IPv4Address& address);
bool isLocal(const IPv6Address& address);
bool isLocal(const NetworkHost& host);
bool isLocal(const NetworkEndpoint& endpoint);

// Textual host form: the name, dotted IPv4, or RFC 5952 IPv6.
std::string hostText(const NetworkHost& host);
// "-" for no endpoint; the host alone for host-and-port; otherwise the endpoint's own text.
std::string describe(const std::optional<NetworkEndpoint>& endpoint);

// Parses a numeric IPv4 or IPv6 literal; anything else becomes a host name.
NetworkHost parseHost(std::string_view text);
} // namespace LocalNetwork

} // namespace kiv
