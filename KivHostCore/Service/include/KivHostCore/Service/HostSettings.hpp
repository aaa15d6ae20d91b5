#pragma once
// The host's configuration. No persistence of its own: the application stores what it exposes.
#include <cstdint>
#include <optional>
#include <string>

#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/SessionSettings.hpp"

namespace kiv {

struct HostSettings {
    std::string displayName = "KivDisplay";
    std::string serviceName;
    std::uint16_t controlPort = KivConstants::defaultControlPort;
    std::uint16_t videoPort = KivConstants::defaultVideoPort;
    std::uint16_t webPort = KivConstants::defaultWebPort; // 0: no web link
    double graceSeconds = 60;
    bool loopbackOnly = false;
    bool useVirtualDisplay = true;
    bool touchControl = true;
    SessionSettings session;
    bool wifiEnabled = true;
    bool usbEnabled = true;
    std::optional<std::string> usbDirect; // "host:port" for a direct USB test connection
    std::string hostID;
    double linkHoldSeconds = 10;
    int maxDevices = 8; // devices served at once (streaming or kept in grace); more are told "busy"

    // Defaults of a fresh value: this machine's name and a new host identifier.
    static HostSettings makeDefault();
    bool operator==(const HostSettings&) const = default;
};

// The machine's pretty host name (/etc/machine-info), else its host name, else "KivDisplay host".
std::string machineServiceName();

} // namespace kiv
