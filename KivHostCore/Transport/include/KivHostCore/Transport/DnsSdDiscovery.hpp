#pragma once
// What the host advertises for discovery: its TXT record (protocol version, model, host ID and
// a local address) and the advertiser that publishes it.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Platform/MachineInfo.hpp"
#include "KivHostCore/Transport/DnsSdAdvertiser.hpp"
#include "KivProtocol/ByteOrder.hpp"

namespace kiv::DnsSdDiscovery {

// Standard DNS TXT: entries in key order, each "key=value" cut to 255 bytes behind a length byte.
Bytes encodeTXT(const std::map<std::string, std::string>& entries);
// The host's TXT record: "v", "model", and "id"/"ip" when known.
std::map<std::string, std::string> txtRecord(const std::optional<std::string>& hostID, MachineInfo& machine);
std::shared_ptr<DnsSdAdvertiser> advertiser(const std::string& name, std::uint16_t port,
                                            const std::optional<std::string>& hostID, MachineInfo& machine,
                                            ServiceRegistrar& registrar, Executor& queue, Executor& main);
// Addresses of interfaces that are up, not loopback, and physical ("en", "eth", "wl"), kept only
// when they are on the local network; in interface-list order.
std::vector<std::string> localIPv4Addresses(const std::vector<NetworkInterfaceAddress>& interfaces);

} // namespace kiv::DnsSdDiscovery
