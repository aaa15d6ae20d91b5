#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "KivProtocol/EnumText.hpp"

namespace kiv {

namespace KivConstants {
inline constexpr int protocolVersion = 5;
inline constexpr std::uint16_t defaultControlPort = 52010;
inline constexpr std::uint16_t defaultVideoPort = 52011;
inline constexpr std::uint16_t defaultUSBPort = 52012;
// The web link's HTTPS port on the host (the USB port above is the device's own).
inline constexpr std::uint16_t defaultWebPort = 52012;
inline constexpr int maxDatagramSize = 1200;
inline constexpr int maxControlMessageSize = 262144;
inline constexpr int maxFrameSize = 8388608;
inline constexpr std::string_view dnsSdServiceType = "_kivdisplay._tcp";
} // namespace KivConstants

enum class TransportKind { wifi, usb, web };

template <>
struct EnumTraits<TransportKind> {
    static constexpr std::array<std::string_view, 3> names{"wifi", "usb", "web"};
};

// Name of a link kind in logs and lines that tools read: "Wi-Fi", "USB", "Web".
std::string_view name(TransportKind kind);
// The same name as a person reads it, localized.
std::string title(TransportKind kind);

} // namespace kiv
