#pragma once
// Big-endian integers on byte buffers: every multi-byte integer of the wire formats.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kiv {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline void appendU8(Bytes& out, std::uint8_t value) {
    out.push_back(value);
}

inline void appendU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline void appendU32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline void appendU64(Bytes& out, std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Readers take the offset; the caller has checked that the bytes are there.
inline std::uint16_t readU16(ByteView in, std::size_t at) {
    return static_cast<std::uint16_t>((in[at] << 8) | in[at + 1]);
}

inline std::uint32_t readU32(ByteView in, std::size_t at) {
    return (std::uint32_t{in[at]} << 24) | (std::uint32_t{in[at + 1]} << 16) | (std::uint32_t{in[at + 2]} << 8) |
           std::uint32_t{in[at + 3]};
}

inline std::uint64_t readU64(ByteView in, std::size_t at) {
    return (std::uint64_t{readU32(in, at)} << 32) | readU32(in, at + 4);
}

inline ByteView asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string_view asText(ByteView bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

} // namespace kiv
