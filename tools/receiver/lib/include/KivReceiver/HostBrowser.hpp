#pragma once
// Finds hosts that advertise "_kivdisplay._tcp" by DNS-SD, with their TXT records.
#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

namespace kiv::receiver {

struct DiscoveredHost {
    std::string name;       // service instance name
    std::string hostTarget; // host name to connect to
    std::uint16_t port = 0;
    std::map<std::string, std::string> txt; // "v", "model", "id", "ip"
};

// Browses for `duration` and resolves every instance seen; an error when DNS-SD is unavailable.
std::expected<std::vector<DiscoveredHost>, std::string> browseHosts(std::chrono::milliseconds duration);

// "key=value" entries of a DNS TXT record (length-prefixed strings); malformed tails are dropped.
std::map<std::string, std::string> parseTXT(const unsigned char* data, std::size_t length);

} // namespace kiv::receiver
