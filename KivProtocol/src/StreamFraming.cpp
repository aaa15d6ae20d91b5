#include "KivProtocol/StreamFraming.hpp"

namespace kiv {

std::int64_t StreamAudioPacket::frameCount() const {
    if (channels == 0) return 0;
    return static_cast<std::int64_t>(pcm.size() / (std::size_t{channels} * 2));
}

double StreamAudioPacket::durationMs() const {
    if (sampleRate == 0) return 0;
    return static_cast<double>(frameCount()) * 1000.0 / sampleRate;
}

namespace StreamFraming {

std::optional<Bytes> encodeVideo(std::uint32_t frameID, bool isKeyframe, std::uint64_t captureTimeUs, ByteView data) {
    if (data.size() > kMaxVideoBody - kVideoHeaderBytes) return std::nullopt;
    Bytes out;
    out.reserve(data.size() + 17);
    appendU32(out, kVideoBit | static_cast<std::uint32_t>((data.size() + kVideoHeaderBytes) & kLengthMask));
    out.push_back(isKeyframe ? 1 : 0);
    appendU32(out, frameID);
    appendU64(out, captureTimeUs);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::optional<Bytes> encodeAudio(const StreamAudioPacket& packet) {
    if (packet.pcm.size() > kMaxAudioBody - kAudioHeaderBytes) return std::nullopt;
    Bytes out;
    out.reserve(packet.pcm.size() + 22);
    appendU32(out, kAudioBit | static_cast<std::uint32_t>((packet.pcm.size() + kAudioHeaderBytes) & kLengthMask));
    out.push_back(packet.format);
    out.push_back(packet.channels);
    appendU32(out, packet.sampleRate);
    appendU32(out, packet.sequence);
    appendU64(out, packet.captureTimeUs);
    out.insert(out.end(), packet.pcm.begin(), packet.pcm.end());
    return out;
}

} // namespace StreamFraming

std::expected<std::vector<StreamItem>, ControlFramingError> StreamFrameDecoder::append(ByteView chunk) {
    using namespace StreamFraming;
    if (failure_) return std::unexpected(*failure_);
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
    std::vector<StreamItem> items;
    while (buffer_.size() - offset_ >= 4) {
        const std::uint32_t header = readU32(buffer_, offset_);
        const std::size_t length = header & kLengthMask;
        const bool video = (header & kVideoBit) != 0;
        const bool audio = !video && (header & kAudioBit) != 0;
        if ((video || audio) && controlOnly_) {
            // A peer that may only send control is not allowed to make us buffer media.
            failure_ = ControlFramingError::malformed();
            return std::unexpected(*failure_);
        }
        const bool fits = video   ? length >= kVideoHeaderBytes && length <= kMaxVideoBody
                          : audio ? length >= kAudioHeaderBytes && length <= kMaxAudioBody
                                  : length <= ControlFraming::kMaxPayload;
        if (!fits) {
            failure_ = ControlFramingError::messageTooLarge(static_cast<std::int64_t>(length));
            return std::unexpected(*failure_);
        }
        if (buffer_.size() - offset_ < length + 4) break;

        const ByteView body(buffer_.data() + offset_ + 4, length);
        if (video) {
            StreamVideoFrame frame;
            frame.isKeyframe = (body[0] & 1) != 0;
            frame.frameID = readU32(body, 1);
            frame.captureTimeUs = readU64(body, 5);
            frame.data.assign(body.begin() + kVideoHeaderBytes, body.end());
            items.push_back(StreamItem{std::move(frame)});
        } else if (audio) {
            StreamAudioPacket packet;
            packet.format = body[0];
            packet.channels = body[1];
            packet.sampleRate = readU32(body, 2);
            packet.sequence = readU32(body, 6);
            packet.captureTimeUs = readU64(body, 10);
            packet.pcm.assign(body.begin() + kAudioHeaderBytes, body.end());
            items.push_back(StreamItem{std::move(packet)});
        } else {
            auto message = decodeControlMessage(asText(body));
            if (!message) {
                failure_ = ControlFramingError::malformed();
                return std::unexpected(*failure_);
            }
            items.push_back(StreamItem{std::move(*message)});
        }
        offset_ += length + 4;
    }
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > kCompactionThreshold) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    return items;
}

} // namespace kiv
