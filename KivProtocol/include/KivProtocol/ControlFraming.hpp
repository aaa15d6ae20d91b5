#pragma once
// Control messages on a byte stream: a 4-byte big-endian payload length, then the JSON.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

struct ControlFramingError {
    enum class Kind { messageTooLarge, malformed };
    Kind kind = Kind::malformed;
    std::int64_t length = 0; // messageTooLarge only

    static ControlFramingError messageTooLarge(std::int64_t length) { return {Kind::messageTooLarge, length}; }
    static ControlFramingError malformed() { return {Kind::malformed, 0}; }

    // "messageTooLarge(262145)" or "malformed".
    std::string text() const;
    bool operator==(const ControlFramingError& other) const {
        return kind == other.kind && (kind == Kind::malformed || length == other.length);
    }
};

// Encoding fails either in the framing (too large) or in the JSON encoder (non-finite number).
using ControlEncodeError = std::variant<ControlFramingError, ControlMessageError>;
std::string describe(const ControlEncodeError& error);

namespace ControlFraming {
inline constexpr std::size_t kMaxPayload = 262144;
// The complete frame, allocated once at its final size.
std::expected<Bytes, ControlEncodeError> encode(const ControlMessage& message);
} // namespace ControlFraming

// Reader for a stream of control frames only. Owned by one connection's receive path.
class ControlFrameDecoder {
public:
    // Every message completed by `chunk`, in order. After messageTooLarge the length field stays
    // buffered, so every later call fails the same way; a malformed frame is consumed. When a call
    // fails, the messages it completed before the failure are not returned.
    std::expected<std::vector<ControlMessage>, ControlFramingError> append(ByteView chunk);
    std::size_t bufferedBytes() const { return buffer_.size() - offset_; }

private:
    Bytes buffer_;
    std::size_t offset_ = 0;                      // consumed bytes at the front, dropped in bulk
    std::optional<ControlFramingError> tooLarge_; // sticky: nothing more is buffered after it
};

} // namespace kiv
