// The usbmuxd packets themselves, apart from any socket: what the fuzzer and the tests reach.
#include "KivHostCore/Transport/UsbmuxPackets.hpp"

#include <algorithm>
#include <string_view>

#include "KivHostCore/Transport/PropertyList.hpp"

namespace kiv::Usbmux {

namespace {
void appendLE32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::optional<std::string> text(const StoredDictionary& dictionary, const std::string& key) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end() || !it->second.text()) return std::nullopt;
    return *it->second.text();
}
} // namespace

std::optional<std::int64_t> integer(const StoredDictionary& dictionary, const std::string& key) {
    const auto it = dictionary.find(key);
    if (it == dictionary.end()) return std::nullopt;
    if (const auto* value = std::get_if<std::int64_t>(&it->second.value)) return *value;
    return std::nullopt;
}

Bytes encode(StoredDictionary dictionary, std::uint32_t tag) {
    dictionary["ClientVersionString"] = StoredValue{std::string("KivDisplay")};
    dictionary["ProgName"] = StoredValue{std::string("KivDisplay")};
    dictionary["kLibUSBMuxVersion"] = StoredValue{std::int64_t{3}};
    const auto payload = PropertyList::encodeXML(dictionary).value_or(Bytes{});
    Bytes packet;
    packet.reserve(kHeaderSize + payload.size());
    appendLE32(packet, static_cast<std::uint32_t>(payload.size() + kHeaderSize));
    appendLE32(packet, 1);
    appendLE32(packet, 8);
    appendLE32(packet, tag);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

std::optional<std::uint32_t> packetLength(ByteView header) {
    if (header.size() < 4) return std::nullopt;
    const std::uint32_t length = std::uint32_t{header[0]} | std::uint32_t{header[1]} << 8 |
                                 std::uint32_t{header[2]} << 16 | std::uint32_t{header[3]} << 24;
    if (length < kHeaderSize || length >= kMaxPacket) return std::nullopt;
    return length;
}

UsbmuxEvent event(const StoredDictionary& dictionary) {
    const auto type = text(dictionary, "MessageType");
    if (type == "Detached") {
        if (const auto id = integer(dictionary, "DeviceID")) return UsbmuxEvent{UsbmuxEvent::Kind::detached, {}, *id};
        return {};
    }
    if (type != "Attached") return {};
    const auto properties = dictionary.find("Properties");
    if (properties == dictionary.end() || !properties->second.dictionary()) return {};
    const auto& props = *properties->second.dictionary();
    if (text(props, "ConnectionType") != "USB") return {};
    const auto serial = text(props, "SerialNumber");
    auto id = integer(dictionary, "DeviceID");
    if (!id) id = integer(props, "DeviceID");
    if (!serial || !id) return {};
    return UsbmuxEvent{UsbmuxEvent::Kind::attached, USBDeviceInfo{*id, *serial, integer(props, "ProductID")}, 0};
}

std::uint16_t swappedPort(std::uint16_t port) {
    return static_cast<std::uint16_t>((port >> 8) | (port << 8));
}

std::optional<StoredDictionary> decodeBody(ByteView body) {
    // usbmuxd answers a client that speaks XML in XML. libplist's binary reader aborts the process
    // on some malformed input, so a binary list is refused rather than handed to it.
    static constexpr std::string_view kBinaryMagic = "bplist";
    if (body.size() >= kBinaryMagic.size() &&
        std::equal(kBinaryMagic.begin(), kBinaryMagic.end(), body.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
        return std::nullopt;
    auto parsed = PropertyList::decode(body);
    if (!parsed || !parsed->dictionary()) return std::nullopt;
    return *parsed->dictionary();
}

} // namespace kiv::Usbmux
