#include "KivHostCore/Transport/DnsSdDiscovery.hpp"

#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/LocalNetwork.hpp"

namespace kiv::DnsSdDiscovery {

Bytes encodeTXT(const std::map<std::string, std::string>& entries) {
    Bytes out;
    for (const auto& [key, value] : entries) { // std::map iterates in key order
        std::string entry = key + "=" + value;
        if (entry.size() > 255) entry.resize(255);
        out.push_back(static_cast<std::uint8_t>(entry.size()));
        out.insert(out.end(), entry.begin(), entry.end());
    }
    return out;
}

std::map<std::string, std::string> txtRecord(const std::optional<std::string>& hostID, MachineInfo& machine) {
    std::map<std::string, std::string> txt{{"v", std::to_string(KivConstants::protocolVersion)},
                                           {"model", machine.modelIdentifier()}};
    if (hostID) txt["id"] = *hostID;
    const auto addresses = localIPv4Addresses(machine.ipv4Addresses());
    if (!addresses.empty()) txt["ip"] = addresses.front();
    return txt;
}

std::shared_ptr<DnsSdAdvertiser> advertiser(const std::string& name, std::uint16_t port,
                                            const std::optional<std::string>& hostID, MachineInfo& machine,
                                            ServiceRegistrar& registrar, Executor& queue, Executor& main) {
    return DnsSdAdvertiser::create(name, port, txtRecord(hostID, machine), registrar, queue, main);
}

std::vector<std::string> localIPv4Addresses(const std::vector<NetworkInterfaceAddress>& interfaces) {
    std::vector<std::string> addresses;
    for (const auto& entry : interfaces) {
        if (!entry.isUp || entry.isLoopback) continue;
        const std::string_view name(entry.name);
        if (!entry.isPhysical && !name.starts_with("en") && !name.starts_with("eth") && !name.starts_with("wl"))
            continue;
        const auto parsed = LocalNetwork::parseHost(entry.address);
        if (std::holds_alternative<IPv4Address>(parsed) && LocalNetwork::isLocal(parsed))
            addresses.push_back(entry.address);
    }
    return addresses;
}

} // namespace kiv::DnsSdDiscovery
