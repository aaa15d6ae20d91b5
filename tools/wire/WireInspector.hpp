#pragma once
// The inspector's conversions between wire bytes and JSON, kept apart from the command line so
// they can be tested directly.
#include <expected>
#include <string>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv::wire {

enum class Kind { control, item, video, keepalive, usbmux };

struct DecodeResult {
    std::vector<std::string> documents; // one JSON document per decoded unit, in order
    std::string error;                  // why decoding stopped (empty when it did not)
    std::size_t incompleteBytes = 0;    // a trailing unit that never completed
};

DecodeResult decode(Kind kind, ByteView input);
std::expected<Bytes, std::string> encode(Kind kind, std::string_view json);

std::expected<Bytes, std::string> parseHex(std::string_view text);
std::string toHex(ByteView bytes);

} // namespace kiv::wire
