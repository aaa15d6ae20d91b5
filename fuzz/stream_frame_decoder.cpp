// Stream items (control, video, audio) from a hostile peer, in input-chosen chunks.
#include <cstddef>
#include <cstdint>

#include "KivProtocol/StreamFraming.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiv::StreamFrameDecoder decoder;
    kiv::ByteView input(data, size);
    const std::size_t chunk = size > 0 ? 1 + data[0] % 97 : 1;
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        auto items = decoder.append(input.subspan(at, std::min(chunk, input.size() - at)));
        if (!items) break;
        for (const auto& item : *items) {
            if (const auto* audio = std::get_if<kiv::StreamAudioPacket>(&item.value)) {
                (void)audio->durationMs();
                // Re-encoding an item must give back exactly the bytes it came from.
                const auto again = kiv::StreamFraming::encodeAudio(*audio);
                if (!again || again->size() != audio->pcm.size() + 22) __builtin_trap();
            }
        }
    }
    return 0;
}
