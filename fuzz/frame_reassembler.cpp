// A sequence of datagrams with receive times: [u16 length][u16 time step][datagram bytes]...
#include <cstddef>
#include <cstdint>

#include "KivProtocol/FrameReassembler.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    // Session ID 0x01020304 is what most seeds use; the first byte bounds the pending frames.
    kiv::FrameReassembler reassembler(0x01020304, 1 + data[0] % 16, 50'000);
    std::uint64_t now = 1'000'000;
    std::size_t at = 1;
    while (at + 4 <= size) {
        const std::size_t length = (std::size_t{data[at]} << 8 | data[at + 1]) % 1500;
        now += std::size_t{data[at + 2]} << 8 | data[at + 3];
        at += 4;
        const std::size_t take = std::min(length, size - at);
        auto frame = reassembler.ingest(kiv::ByteView(data + at, take), now);
        if (frame && frame->data.size() > 8'388'608) __builtin_trap();
        at += take;
    }
    if (reassembler.takeDrops().size() > kiv::FrameReassembler::kMaxRecordedDrops) __builtin_trap();
    (void)reassembler.packetsExpected();
    return 0;
}
