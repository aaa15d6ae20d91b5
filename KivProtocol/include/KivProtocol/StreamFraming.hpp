#pragma once
// Typed items on a reliable stream: control (a control frame), video (a whole encoded frame)
// and audio (PCM). Header: 32 bits big-endian, bit 31 video, bit 30 audio, bits 29-0 length.
#include <cstdint>
#include <expected>
#include <optional>
#include <variant>
#include <vector>

#include "KivProtocol/ByteOrder.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

struct StreamVideoFrame {
    std::uint32_t frameID = 0;
    bool isKeyframe = false;
    std::uint64_t captureTimeUs = 0;
    Bytes data;
    bool operator==(const StreamVideoFrame&) const = default;
};

struct StreamAudioPacket {
    static constexpr std::uint8_t pcmS16LE = 1;
    std::uint8_t format = pcmS16LE;
    std::uint8_t channels = 2;
    std::uint32_t sampleRate = 48000;
    std::uint32_t sequence = 0;
    std::uint64_t captureTimeUs = 0;
    Bytes pcm;

    std::int64_t frameCount() const;
    double durationMs() const;
    bool operator==(const StreamAudioPacket&) const = default;
};

struct StreamItem {
    std::variant<ControlMessage, StreamVideoFrame, StreamAudioPacket> value;
    bool operator==(const StreamItem&) const = default;
};

namespace StreamFraming {
inline constexpr std::uint32_t kVideoBit = 0x8000'0000u;
inline constexpr std::uint32_t kAudioBit = 0x4000'0000u;
inline constexpr std::uint32_t kLengthMask = 0x3FFF'FFFFu;
inline constexpr std::size_t kVideoHeaderBytes = 13;
inline constexpr std::size_t kAudioHeaderBytes = 18;
inline constexpr std::size_t kMaxVideoBody = 8388608;
inline constexpr std::size_t kMaxAudioBody = 262144;

// Nothing when the body would exceed what a reader accepts (kMaxVideoBody, kMaxAudioBody): a
// length that does not fit is refused, never truncated into a header the peer would misread.
std::optional<Bytes> encodeVideo(std::uint32_t frameID, bool isKeyframe, std::uint64_t captureTimeUs, ByteView data);
std::optional<Bytes> encodeAudio(const StreamAudioPacket& packet);
} // namespace StreamFraming

// Reader for every stream link. Consumed bytes are dropped only when everything was consumed or
// more than 1 MiB lies before the read position, so large video items are not copied repeatedly.
class StreamFrameDecoder {
public:
    static constexpr std::size_t kCompactionThreshold = 1048576;
    struct ControlOnly {};

    StreamFrameDecoder() = default;
    // A reader for a peer that may only send control items: a video or audio header fails at
    // once (malformed) before any of its body is buffered.
    explicit StreamFrameDecoder(ControlOnly) : controlOnly_(true) {}

    // Every item completed by `chunk`. On failure the read position stays on the bad item, so
    // every later call fails the same way; items completed earlier in the failing call are lost.
    std::expected<std::vector<StreamItem>, ControlFramingError> append(ByteView chunk);
    std::size_t bufferedBytes() const { return buffer_.size() - offset_; }
    std::size_t offset() const { return offset_; }

private:
    Bytes buffer_;
    std::size_t offset_ = 0;
    std::optional<ControlFramingError> failure_; // sticky: nothing more is buffered after a failure
    bool controlOnly_ = false;
};

} // namespace kiv
