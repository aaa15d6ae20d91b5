// What a browser may send on the web link: WebSocket messages whose bytes the host reads as stream
// items from a device, which may only send control items. Message sizes come from the input, as
// any framing across messages is the peer's to choose.
#include <cstddef>
#include <cstdint>

#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/StreamFraming.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    kiv::StreamFrameDecoder decoder{kiv::StreamFrameDecoder::ControlOnly{}};
    const std::size_t message = 1 + (static_cast<std::size_t>(data[0]) << 8 | data[1]) % 4096;
    kiv::ByteView input(data + 2, size - 2);
    for (std::size_t at = 0; at < input.size(); at += message) {
        auto items = decoder.append(input.subspan(at, std::min(message, input.size() - at)));
        if (!items) break;
        for (const auto& item : *items) {
            const auto* control = std::get_if<kiv::ControlMessage>(&item.value);
            if (!control) __builtin_trap(); // a device's video or audio must never get through
            // What was read must encode again (the host echoes parts of it in replies and logs).
            if (!kiv::ControlFraming::encode(*control)) continue;
        }
        // Nothing past one item's limit is ever held for a device that may only send control.
        if (decoder.bufferedBytes() > kiv::ControlFraming::kMaxPayload + 4 + message) __builtin_trap();
    }
    return 0;
}
