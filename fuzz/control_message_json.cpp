// Control-message JSON straight from the wire.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "KivProtocol/ControlMessage.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto message = kiv::decodeControlMessage(text);
    if (!message) return 0;
    // A decoded message round-trips to an equal value.
    const auto json = kiv::encodeControlMessage(*message);
    if (!json) __builtin_trap();
    const auto again = kiv::decodeControlMessage(*json);
    if (!again || !(*again == *message)) __builtin_trap();
    return 0;
}
