#include "KivHostCore/Audio/AudioSender.hpp"

#include <algorithm>

#include "KivProtocol/StreamFraming.hpp"

namespace kiv {

void AudioSender::setTransport(std::shared_ptr<HostTransport> transport) {
    const std::lock_guard lock(mutex_);
    transport_ = std::move(transport);
}

void AudioSender::send(const AudioChunk& chunk) {
    std::shared_ptr<HostTransport> link;
    StreamAudioPacket packet;
    {
        const std::lock_guard lock(mutex_);
        lastFormat_ = {chunk.sampleRate, chunk.channels};
        if (!transport_ || !transport_->isOpen()) return;
        // A format the item cannot carry is not audio this link can play.
        if (chunk.channels < 1 || chunk.channels > 255 || chunk.sampleRate < 1 || chunk.sampleRate > 0xFFFF'FFFF) return;
        if (inFlight_ + static_cast<std::int64_t>(chunk.pcm.size()) > kMaxInFlightBytes) {
            ++dropped_;
            ++sequence_; // the gap tells the device a chunk is missing
            return;
        }
        packet.sequence = sequence_++;
        link = transport_;
    }
    packet.format = StreamAudioPacket::pcmS16LE;
    packet.channels = static_cast<std::uint8_t>(chunk.channels);
    packet.sampleRate = static_cast<std::uint32_t>(chunk.sampleRate);
    packet.captureTimeUs = chunk.captureTimeUs;
    packet.pcm = chunk.pcm;
    auto item = StreamFraming::encodeAudio(packet);
    const auto size = static_cast<std::int64_t>(item.size());
    {
        const std::lock_guard lock(mutex_);
        inFlight_ += size;
        ++packets_;
        bytes_ += size;
    }
    const bool queued = link->sendAudio(std::move(item), [weak = weak_from_this(), size] {
        if (auto self = weak.lock()) self->release(size);
    });
    if (!queued) release(size);
}

void AudioSender::release(std::int64_t bytes) {
    const std::lock_guard lock(mutex_);
    inFlight_ = std::max<std::int64_t>(0, inFlight_ - bytes);
}

AudioSenderStats AudioSender::takeStats(double seconds) {
    const std::lock_guard lock(mutex_);
    AudioSenderStats stats;
    stats.packets = packets_;
    stats.kbps = static_cast<double>(bytes_) * 8.0 / (seconds > 0.001 ? seconds : 0.001) / 1000.0; // also for NaN
    stats.dropped = dropped_;
    if (lastFormat_) {
        stats.sampleRate = lastFormat_->first;
        stats.channels = lastFormat_->second;
    }
    packets_ = 0;
    bytes_ = 0;
    dropped_ = 0;
    return stats;
}

} // namespace kiv
