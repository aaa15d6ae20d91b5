#pragma once
// What the host tells devices about the machine it runs on: its network interfaces and its model.
// Any thread; each call reads the system afresh.
#include <cstdint>
#include <string>
#include <vector>

namespace kiv {

struct NetworkInterfaceAddress {
    std::string name;    // "eth0", "wlp2s0", "lo"...
    std::string address; // numeric IPv4 text
    bool isUp = false;
    bool isLoopback = false;
    bool isPhysical = false; // a network card, or a bridge, bond or VLAN over one, whatever its name
    bool operator==(const NetworkInterfaceAddress&) const = default;
};

class MachineInfo {
public:
    virtual ~MachineInfo() = default;
    // Every IPv4 address of every interface, in the system's interface-list order.
    virtual std::vector<NetworkInterfaceAddress> ipv4Addresses() = 0;
    // The machine's model as the firmware names it; "unknown" when nothing can be read.
    virtual std::string modelIdentifier() = 0;
};

} // namespace kiv
