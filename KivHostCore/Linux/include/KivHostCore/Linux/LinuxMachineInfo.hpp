#pragma once
// The machine on Linux: interfaces from getifaddrs(3), the model from the DMI product name, else
// the machine type from uname(2).
#include <filesystem>

#include "KivHostCore/Platform/MachineInfo.hpp"

namespace kiv {

class LinuxMachineInfo final : public MachineInfo {
public:
    std::vector<NetworkInterfaceAddress> ipv4Addresses() override;
    std::string modelIdentifier() override;

    // Whether interface `name` is a network card (it has a device in `sysNet`, normally
    // /sys/class/net) or sits on one: a bridge (a machine that runs virtual machines often has its
    // address there), a bond or a VLAN. A bridge of containers or a tunnel has none below it.
    static bool physicalInterface(const std::filesystem::path& sysNet, const std::string& name);
};

} // namespace kiv
