#pragma once
// What the host knows about a cable-attached device, as published to the interface.
#include <cstdint>
#include <optional>
#include <string>

#include "KivProtocol/EnumText.hpp"

namespace kiv {

struct USBDeviceInfo {
    std::int64_t muxID = 0;
    std::string udid;
    std::optional<std::int64_t> productID;
    std::string shortID() const { return udid.substr(0, 8); }
    bool operator==(const USBDeviceInfo&) const = default;
};

struct USBDeviceStatus {
    enum class State { checking, untrusted, waitingForApp, connected };
    USBDeviceInfo device;
    State state = State::checking;
    bool operator==(const USBDeviceStatus&) const = default;
};

template <>
struct EnumTraits<USBDeviceStatus::State> {
    static constexpr std::array<std::string_view, 4> names{"checking", "untrusted", "waitingForApp", "connected"};
};

} // namespace kiv
