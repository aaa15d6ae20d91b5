// One UDP datagram: parsed as a video packet and as a keepalive.
#include <cstddef>
#include <cstdint>

#include "KivProtocol/VideoPacket.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kiv::ByteView datagram(data, size);
    if (const auto packet = kiv::VideoPacketHeader::parse(datagram)) {
        if (packet->header.fragIndex >= packet->header.fragCount || packet->payloadEnd != size) __builtin_trap();
        kiv::Bytes again;
        packet->header.write(again);
        if (again.size() != kiv::VideoPacketHeader::size) __builtin_trap();
    }
    if (const auto keepalive = kiv::VideoKeepalive::parse(datagram)) {
        if (keepalive->encode().size() != size) __builtin_trap();
    }
    return 0;
}
