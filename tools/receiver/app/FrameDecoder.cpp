#include "FrameDecoder.hpp"

#include <fmt/format.h>

#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/HostClock.hpp"

namespace kiv::receiver {

FrameDecoder::FrameDecoder(Options options, std::function<void(const ControlMessage&)> send,
                           std::function<void(const std::string&)> say, Clock now)
    : decoder_(options.decoder), send_(std::move(send)), say_(std::move(say)), now_(std::move(now)) {
    if (options.record) record_.open(*options.record, std::ios::binary | std::ios::trunc);
    if (options.frameLog) {
        frameLog_.open(*options.frameLog, std::ios::trunc);
        frameLog_ << "# frameID keyframe bytes hostCaptureUs completedAtUs decodedAtUs\n";
    }
}

FrameDecoder::Decoded FrameDecoder::decode(const QueuedFrame& f) {
    // Past a loss only a keyframe can be decoded.
    if (f.framesLostBefore > 0 && !f.isKeyframe) awaitingKeyframe_ = true;
    if (f.isKeyframe) awaitingKeyframe_ = false;
    if (record_.is_open()) {
        record(f.data);
        record_.flush(); // a run killed mid-stream keeps every frame it received
    }
    Decoded out;
    const auto started = HostClock::nowMicros();
    if (!awaitingKeyframe_) out.picture = decoder_.decode(f.data);
    out.decodedAtUs = HostClock::nowMicros();
    out.decodeMs = static_cast<double>(out.decodedAtUs - started) / 1000.0;
    if (!out.picture && !awaitingKeyframe_) awaitingKeyframe_ = true;
    // A loss while waiting means the keyframe asked for may have been among the lost frames (a
    // keyframe spans many datagrams): ask again sooner than the plain repeat.
    if (awaitingKeyframe_) {
        const auto reason = f.framesLostBefore > 0
                                ? IDRReason::packetLoss
                                : (out.picture ? IDRReason::awaitingKeyframe : IDRReason::decodeError);
        ask(reason, f.framesLostBefore > 0 ? kLostAgainInterval : kRequestInterval, [&] {
            return reason == IDRReason::packetLoss
                       ? fmt::format("{} frame(s) lost before frame {}; asked for a keyframe", f.framesLostBefore,
                                     f.frameID)
                       : fmt::format("Frame {} could not be decoded ({}); asked for a keyframe", f.frameID,
                                     decoder_.backend());
        });
    }
    if (out.picture) checkLimit(out.picture->width, out.picture->height);
    if (frameLog_.is_open())
        frameLog_ << fmt::format("{} {} {} {} {} {}\n", f.frameID, f.isKeyframe ? 1 : 0, f.data.size(), f.captureTimeUs,
                                 f.completedAtUs, out.picture ? out.decodedAtUs : 0)
                  << std::flush; // read while the receiver runs, and kept whole when it is killed
    return out;
}

void FrameDecoder::remind() {
    if (awaitingKeyframe_) ask(IDRReason::awaitingKeyframe, kRequestInterval, nullptr);
}

void FrameDecoder::lostStalledFrame() {
    awaitingKeyframe_ = true;
    ask(IDRReason::packetLoss, kLostAgainInterval, [] {
        return std::string("The last frame before the screen went still arrived incomplete; asked for a keyframe");
    });
}

void FrameDecoder::ask(IDRReason reason, std::chrono::milliseconds interval, const std::function<std::string()>& why) {
    const auto now = now_();
    if (lastRequest_ && now - *lastRequest_ < interval) return;
    lastRequest_ = now;
    send_({RequestIDR{reason}});
    // Say why (a reminder needs no reason), but not at the frame rate of a stream that keeps failing.
    if (why && reason != IDRReason::awaitingKeyframe && (!lastNotice_ || now - *lastNotice_ >= kNoticeInterval)) {
        lastNotice_ = now;
        say_(why());
    }
}

void FrameDecoder::record(const Bytes& avcc) {
    // Frames come length-prefixed; a file wants start codes (Annex B) to be playable.
    const auto units = H264Bitstream::splitAVCC(avcc);
    if (!units) return;
    static constexpr char kStartCode[] = {0, 0, 0, 1};
    for (const auto unit : *units) {
        record_.write(kStartCode, sizeof kStartCode);
        record_.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
    }
}

void FrameDecoder::checkLimit(int width, int height) {
    if (!decoder_.tooLarge(width, height) || limitAskedFor_ == std::pair{width, height}) return;
    limitAskedFor_ = std::pair{width, height};
    const auto [longSide, shortSide] = *decoder_.maxSize();
    say_(fmt::format(
        "The {}×{} stream is more than this decoder takes ({}×{} at most); asking the host for a smaller one", width,
        height, longSide, shortSide));
    send_({StreamLimit{longSide, shortSide}});
}

} // namespace kiv::receiver
