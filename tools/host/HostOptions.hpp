#pragma once
// The headless host's command line and its one-line status, apart from main() so both can be tested.
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "KivHostCore/Service/HostService.hpp"

namespace kiv::host {

struct Options {
    HostSettings settings;
    bool synthetic = false;
    bool approveAll = false;
    std::optional<std::string> display;    // --display, else $DISPLAY, else our own server
    std::optional<std::string> backend;    // --backend x11|wlroots|gnome, else the session's
    std::optional<std::string> frameTrace; // a file for per-frame stage times
};

struct ParseResult {
    std::optional<Options> options; // nothing: exit with `status` after printing `output`
    int status = 0;
    std::string output;
};

// `defaults` supplies the values flags may override (name, host ID, ports).
ParseResult parseOptions(int argc, const char* const* argv, HostSettings defaults);

// What is listening once the service has started: the Wi-Fi ports, USB, or both.
std::string listeningLine(const HostSettings& settings, std::uint16_t controlPort, std::uint16_t videoPort);

// The web link's addresses, one per host address (loopback when there is none), and the lines
// that tell the user where to point the browser and which certificate it will see.
std::vector<std::string> webAddresses(const std::vector<std::string>& hostAddresses, std::uint16_t port);
std::string webLines(const std::vector<std::string>& urls, const std::string& fingerprint);

// One line describing the aggregate status: service state, addresses, and each device.
std::string statusLine(const HostService::Status& status);

} // namespace kiv::host
