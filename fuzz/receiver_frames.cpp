// The device side of a Wi-Fi stream: datagrams a hostile or broken host sends, reassembled into
// frames and handed to the receiver's H.264 decoder, which must fail cleanly on whatever arrives.
// Input as for the reassembler's target: [bound byte] then [u16 length][u16 time step][datagram]...
#include <cstddef>
#include <cstdint>

#include "KivProtocol/FrameReassembler.hpp"
#include "KivProtocol/H264Bitstream.hpp"
#include "KivReceiver/VideoDecoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv;
    if (size < 5) return 0;
    static receiver::VideoDecoder decoder({false, std::nullopt});
    FrameReassembler reassembler(0x01020304, 1 + data[0] % 16, 50'000);
    std::uint64_t now = 1'000'000;
    std::size_t at = 1;
    while (at + 4 <= size) {
        const std::size_t length = (std::size_t{data[at]} << 8 | data[at + 1]) % 1500;
        now += std::size_t{data[at + 2]} << 8 | data[at + 3];
        at += 4;
        const std::size_t take = std::min(length, size - at);
        if (auto frame = reassembler.ingest(ByteView(data + at, take), now)) {
            static_cast<void>(H264Bitstream::splitAVCC(frame->data));
            if (auto picture = decoder.decode(frame->data); picture && (picture->width <= 0 || picture->height <= 0))
                __builtin_trap();
        }
        at += take;
    }
    return 0;
}
