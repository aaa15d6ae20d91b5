#include "KivHostCore/Linux/LinuxMachineInfo.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <algorithm>
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
        addresses.push_back({entry->ifa_name, host, (entry->ifa_flags & IFF_UP) != 0,
                             (entry->ifa_flags & IFF_LOOPBACK) != 0,
                             physicalInterface("/sys/class/net", entry->ifa_name)});
    }
    ::freeifaddrs(list);
    return addresses;
}

namespace {

bool physicalBelow(const std::filesystem::path& sysNet, const std::string& name, int depth) {
    std::error_code error;
    const auto folder = sysNet / name;
    if (name.empty() || name.find('/') != std::string::npos || depth > 4) return false;
    if (std::filesystem::exists(folder / "device", error)) return true;
    // What it is stacked on: lower_<name> links (bonds, VLANs, bridges), and a bridge's ports.
    std::vector<std::string> below;
    const auto list = [&](const std::filesystem::path& where, std::string_view prefix) {
        for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
            const auto file = it->path().filename().string();
            if (file.starts_with(prefix)) below.push_back(file.substr(prefix.size()));
        }
        error.clear();
    };
    list(folder, "lower_");
    list(folder / "brif", "");
    return std::ranges::any_of(below,
                               [&](const std::string& lower) { return physicalBelow(sysNet, lower, depth + 1); });
}

} // namespace

bool LinuxMachineInfo::physicalInterface(const std::filesystem::path& sysNet, const std::string& name) {
    return physicalBelow(sysNet, name, 0);
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
