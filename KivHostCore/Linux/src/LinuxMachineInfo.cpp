#include "KivHostCore/Linux/LinuxMachineInfo.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <fstream>

namespace kiv {

std::vector<NetworkInterfaceAddress> LinuxMachineInfo::ipv4Addresses() {
    std::vector<NetworkInterfaceAddress> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        addresses.push_back(
            {entry->ifa_name, host, (entry->ifa_flags & IFF_UP) != 0, (entry->ifa_flags & IFF_LOOPBACK) != 0});
    }
    ::freeifaddrs(list);
    return addresses;
}

std::string LinuxMachineInfo::modelIdentifier() {
    if (std::ifstream dmi{"/sys/devices/virtual/dmi/id/product_name"}) {
        std::string name;
        std::getline(dmi, name);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\n'))
            name.pop_back();
        if (!name.empty()) return name;
    }
    utsname info{};
    if (::uname(&info) == 0) return info.machine;
    return "unknown";
}

} // namespace kiv
