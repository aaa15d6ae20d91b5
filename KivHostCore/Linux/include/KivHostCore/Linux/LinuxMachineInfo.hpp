#pragma once
// The machine on Linux: interfaces from getifaddrs(3), the model from the DMI product name, else
// the machine type from uname(2).
#include "KivHostCore/Platform/MachineInfo.hpp"

namespace kiv {

class LinuxMachineInfo final : public MachineInfo {
public:
    std::vector<NetworkInterfaceAddress> ipv4Addresses() override;
    std::string modelIdentifier() override;
};

} // namespace kiv
