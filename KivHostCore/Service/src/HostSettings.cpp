#include "KivHostCore/Service/HostSettings.hpp"

#include <unistd.h>

#include <fstream>

#include "KivHostCore/Platform/SecureRandom.hpp"

namespace kiv {

namespace {
std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}
} // namespace

std::string machineServiceName() {
    // systemd's pretty host name is the closest thing to a localized machine name.
    if (std::ifstream info{"/etc/machine-info"}) {
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
                auto name = unquote(line.substr(16));
                if (!name.empty()) return name;
            }
        }
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') return host;
    return "KivDisplay host";
}

HostSettings HostSettings::makeDefault() {
    HostSettings settings;
    settings.serviceName = machineServiceName();
    settings.hostID = newUUID();
    return settings;
}

} // namespace kiv
