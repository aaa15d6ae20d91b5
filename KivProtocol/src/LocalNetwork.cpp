#include "KivProtocol/LocalNetwork.hpp"

#include <arpa/inet.h>

#include <algorithm>

namespace kiv {

NetworkEndpoint NetworkEndpoint::hostPort(NetworkHost host, std::uint16_t port) {
    NetworkEndpoint endpoint;
    endpoint.kind = Kind::hostPort;
    endpoint.host = std::move(host);
    endpoint.port = port;
    return endpoint;
}

NetworkEndpoint NetworkEndpoint::other(Kind kind, std::string text) {
    NetworkEndpoint endpoint;
    endpoint.kind = kind;
    endpoint.text = std::move(text);
    return endpoint;
}

namespace LocalNetwork {

bool isLocal(const IPv4Address& address) {
    const auto a = address.bytes[0];
    const auto b = address.bytes[1];
    return a == 10 || a == 127 || (a == 169 && b == 254) || (a == 192 && b == 168) || (a == 172 && b >= 16 && b <= 31);
}

bool isLocal(const IPv6Address& address) {
    const auto& bytes = address.bytes;
    const bool loopback = std::all_of(bytes.begin(), bytes.end() - 1, [](auto x) { return x == 0; }) && bytes[15] == 1;
    if (loopback) return true;
    if (bytes[0] == 0xFE && bytes[1] >= 0x80 && bytes[1] <= 0xBF) return true; // link-local fe80::/10
    if (bytes[0] == 0xFC || bytes[0] == 0xFD) return true;                     // unique-local fc00::/7
    const bool mapped = std::all_of(bytes.begin(), bytes.begin() + 10, [](auto x) { return x == 0; }) &&
                        bytes[10] == 0xFF && bytes[11] == 0xFF;
    if (mapped) return isLocal(IPv4Address{{bytes[12], bytes[13], bytes[14], bytes[15]}});
    return false;
}

bool isLocal(const NetworkHost& host) {
    return std::visit(
        [](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, HostName>) {
                return false; // names are never resolved for this decision
            } else {
                return isLocal(value);
            }
        },
        host);
}

bool isLocal(const NetworkEndpoint& endpoint) {
    return endpoint.kind == NetworkEndpoint::Kind::hostPort && isLocal(endpoint.host);
}

std::string hostText(const NetworkHost& host) {
    if (const auto* name = std::get_if<HostName>(&host)) return name->name;
    char buffer[INET6_ADDRSTRLEN] = {};
    if (const auto* v4 = std::get_if<IPv4Address>(&host)) {
        ::inet_ntop(AF_INET, v4->bytes.data(), buffer, sizeof buffer);
    } else {
        ::inet_ntop(AF_INET6, std::get<IPv6Address>(host).bytes.data(), buffer, sizeof buffer);
    }
    return buffer;
}

std::string describe(const std::optional<NetworkEndpoint>& endpoint) {
    if (!endpoint) return "-";
    if (endpoint->kind == NetworkEndpoint::Kind::hostPort) return hostText(endpoint->host);
    return endpoint->text;
}

NetworkHost parseHost(std::string_view text) {
    const std::string copy(text);
    IPv4Address v4;
    if (::inet_pton(AF_INET, copy.c_str(), v4.bytes.data()) == 1) return v4;
    IPv6Address v6;
    if (::inet_pton(AF_INET6, copy.c_str(), v6.bytes.data()) == 1) return v6;
    return HostName{copy};
}

} // namespace LocalNetwork
} // namespace kiv
