#pragma once
// H.264 in length-prefixed form: each NAL unit preceded by its 4-byte big-endian length.
#include <cstdint>
#include <optional>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv::H264Bitstream {

enum class NALType : std::uint8_t { slice = 1, idr = 5, sei = 6, sps = 7, pps = 8, aud = 9 };

std::optional<NALType> nalType(std::uint8_t raw);
const char* toText(NALType type);

void appendAVCC(ByteView nal, Bytes& buffer);
// The units (views into `data`), or nothing when `data` is not a well-formed length-prefixed stream.
std::optional<std::vector<ByteView>> splitAVCC(ByteView data);
// nal_unit_type: the low 5 bits of the first byte; 0 for an empty unit.
std::uint8_t type(ByteView nal);

// Annex B (start codes 00 00 01 / 00 00 00 01) to length-prefixed form. Empty units and
// trailing zero bytes before a start code are dropped. Nothing when no start code leads the data.
std::optional<Bytes> annexBToAVCC(ByteView annexB);

} // namespace kiv::H264Bitstream
