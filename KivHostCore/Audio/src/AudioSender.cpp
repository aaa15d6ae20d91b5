#include "KivHostCore/Audio/AudioSender.hpp"

#include <algorithm>

#include "KivProtocol/StreamFraming.hpp"

namespace kiv {

void AudioSender::setTransport(std::shared_ptr<HostTransport> transport) {
    const std::lock_guard lock(mutex_);
    // Every (re)attach starts the device's count afresh, the same link after a pause included, so
    // its jitter buffer never reads the jump as loss.
    sequence_ = 0;
    if (transport_ == transport) return;
    transport_ = std::move(transport);
    budget_ = std::make_shared<LinkBudget>(); // late completions of the old link settle the old budget
}

void AudioSender::send(const AudioChunk& chunk) {
    std::shared_ptr<HostTransport> link;
    std::shared_ptr<LinkBudget> budget;
    StreamAudioPacket packet;
    {
        const std::lock_guard lock(mutex_);
        lastFormat_ = {chunk.sampleRate, chunk.channels};
        if (!transport_ || !transport_->isOpen()) return;
        // A format the item cannot carry is not audio this link can play.
        if (chunk.channels < 1 || chunk.channels > 255 || chunk.sampleRate < 1 || chunk.sampleRate > 0xFFFF'FFFF)
            return;
        if (budget_->inFlight + static_cast<std::int64_t>(chunk.pcm.size()) > kMaxInFlightBytes) {
            ++dropped_;
            ++sequence_; // the gap tells the device a chunk is missing
            return;
        }
        packet.sequence = sequence_++;
        link = transport_;
        budget = budget_;
    }
    packet.format = StreamAudioPacket::pcmS16LE;
    packet.channels = static_cast<std::uint8_t>(chunk.channels);
    packet.sampleRate = static_cast<std::uint32_t>(chunk.sampleRate);
    packet.captureTimeUs = chunk.captureTimeUs;
    packet.pcm = chunk.pcm;
    auto item = StreamFraming::encodeAudio(packet);
    if (!item) {
        const std::lock_guard lock(mutex_);
        ++dropped_; // larger than an item may be: lost like a chunk over budget
        return;
    }
    const auto size = static_cast<std::int64_t>(item->size());
    {
        const std::lock_guard lock(mutex_);
        budget->inFlight += size;
        ++packets_;
        bytes_ += size;
    }
    const bool queued = link->sendAudio(std::move(*item), [weak = weak_from_this(), budget, size] {
        if (auto self = weak.lock()) self->release(*budget, size);
    });
    if (!queued) release(*budget, size);
}

void AudioSender::release(LinkBudget& budget, std::int64_t bytes) {
    const std::lock_guard lock(mutex_);
    budget.inFlight = std::max<std::int64_t>(0, budget.inFlight - bytes);
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
