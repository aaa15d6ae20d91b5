#pragma once
// The packets of usbmuxd's protocol, apart from any socket: a 16-byte little-endian header
// (length, version 1, type 8 = property list, tag) and an XML or binary property list.
#include <cstdint>
#include <optional>
#include <string>

#include "KivHostCore/Platform/KeyValueStore.hpp"
#include "KivHostCore/Transport/USBDeviceStatus.hpp"

namespace kiv {

struct UsbmuxEvent {
    enum class Kind { attached, detached, other };
    Kind kind = Kind::other;
    USBDeviceInfo device;   // attached
    std::int64_t muxID = 0; // detached
    bool operator==(const UsbmuxEvent&) const = default;
};

namespace Usbmux {

inline constexpr std::uint32_t kHeaderSize = 16;
inline constexpr std::uint32_t kMaxPacket = 0x400000;
inline constexpr std::uint32_t kTagListen = 1;
inline constexpr std::uint32_t kTagReadPairRecord = 2;
inline constexpr std::uint32_t kTagConnect = 3;

// One request packet: header, then the XML property list with the three fixed keys added.
Bytes encode(StoredDictionary dictionary, std::uint32_t tag);
// The length field when 16 <= length < 4 MiB.
std::optional<std::uint32_t> packetLength(ByteView header);
UsbmuxEvent event(const StoredDictionary& dictionary);
// A whole-number field of a packet's dictionary.
std::optional<std::int64_t> integer(const StoredDictionary& dictionary, const std::string& key);
// A packet's body: an XML property list whose root is a dictionary, else nothing.
std::optional<StoredDictionary> decodeBody(ByteView body);
// The port as usbmuxd wants it: its two bytes swapped.
std::uint16_t swappedPort(std::uint16_t port);

} // namespace Usbmux

} // namespace kiv
