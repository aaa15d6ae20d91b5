// A packet as usbmuxd sends it: the 16-byte header, then the property list (XML or binary).
// Whatever it holds, the event read from it is sane, and a dictionary it yields encodes into a
// packet whose header gives its true length.
#include <cstddef>
#include <cstdint>

#include "KivHostCore/Transport/UsbmuxPackets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv;
    if (size < Usbmux::kHeaderSize) return 0;
    const auto length = Usbmux::packetLength(ByteView(data, Usbmux::kHeaderSize));
    if (length && (*length < Usbmux::kHeaderSize || *length >= Usbmux::kMaxPacket)) __builtin_trap();
    const auto body = Usbmux::decodeBody(ByteView(data + Usbmux::kHeaderSize, size - Usbmux::kHeaderSize));
    if (!body) return 0;
    static_cast<void>(Usbmux::event(*body));
    const auto packet = Usbmux::encode(*body, 3);
    if (packet.size() > Usbmux::kHeaderSize) {
        const auto encoded = Usbmux::packetLength(ByteView(packet.data(), Usbmux::kHeaderSize));
        if (packet.size() < Usbmux::kMaxPacket && (!encoded || *encoded != packet.size())) __builtin_trap();
    }
    return 0;
}
