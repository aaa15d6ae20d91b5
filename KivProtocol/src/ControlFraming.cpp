#include "KivProtocol/ControlFraming.hpp"

#include <fmt/format.h>

namespace kiv {

std::string ControlFramingError::text() const {
    if (kind == Kind::messageTooLarge) return fmt::format("messageTooLarge({})", length);
    return "malformed";
}

std::string describe(const ControlEncodeError& error) {
    if (const auto* framing = std::get_if<ControlFramingError>(&error)) return framing->text();
    return std::get<ControlMessageError>(error).message;
}

namespace ControlFraming {

std::expected<Bytes, ControlEncodeError> encode(const ControlMessage& message) {
    auto json = encodeControlMessage(message);
    if (!json) return std::unexpected(ControlEncodeError{json.error()});
    if (json->size() > kMaxPayload) {
        return std::unexpected(
            ControlEncodeError{ControlFramingError::messageTooLarge(static_cast<std::int64_t>(json->size()))});
    }
    Bytes frame;
    frame.reserve(json->size() + 4);
    appendU32(frame, static_cast<std::uint32_t>(json->size()));
    frame.insert(frame.end(), json->begin(), json->end());
    return frame;
}

} // namespace ControlFraming

std::expected<std::vector<ControlMessage>, ControlFramingError> ControlFrameDecoder::append(ByteView chunk) {
    if (tooLarge_) return std::unexpected(*tooLarge_);
    // Drop consumed bytes before growing, so the buffer never holds more than one frame's tail plus the chunk.
    if (offset_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    std::vector<ControlMessage> messages;
    while (buffer_.size() - offset_ >= 4) {
        const std::uint32_t length = readU32(buffer_, offset_);
        if (length > ControlFraming::kMaxPayload) {
            tooLarge_ = ControlFramingError::messageTooLarge(length);
            return std::unexpected(*tooLarge_);
        }
        if (buffer_.size() - offset_ < std::size_t{length} + 4) break;
        const ByteView payload(buffer_.data() + offset_ + 4, length);
        offset_ += std::size_t{length} + 4; // consumed even when it fails to decode
        auto message = decodeControlMessage(asText(payload));
        if (!message) return std::unexpected(ControlFramingError::malformed());
        messages.push_back(std::move(*message));
    }
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    }
    return messages;
}

} // namespace kiv
