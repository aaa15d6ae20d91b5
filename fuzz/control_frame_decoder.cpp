// Control frames from a hostile peer, split into chunks at positions the input chooses.
#include <cstddef>
#include <cstdint>

#include "KivProtocol/ControlFraming.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiv::ControlFrameDecoder decoder;
    kiv::ByteView input(data, size);
    // The first byte picks the chunk size so chunk boundaries get explored too.
    const std::size_t chunk = size > 0 ? 1 + data[0] % 64 : 1;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        auto messages = decoder.append(input.subspan(at, std::min(chunk, input.size() - at)));
        if (!messages) continue;
        for (const auto& message : *messages) {
            // Whatever decodes must encode again (it may only grow past the size limit).
            const auto frame = kiv::ControlFraming::encode(message);
            if (!frame && !std::holds_alternative<kiv::ControlFramingError>(frame.error())) __builtin_trap();
        }
    }
    return 0;
}
