#pragma once
// Turns the frames a link delivers into pictures: keeps the keyframe state across losses and
// failed decodes and asks the host for a keyframe (at most twice a second, ten times after a new loss, saying why at
// most every 5 s), asks for a smaller stream once per size the decoder cannot take, and writes the recording and the
// per-frame log. One thread at a time (the decode queue's).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "DecodeQueue.hpp"
#include "KivProtocol/ControlMessage.hpp"
#include "KivReceiver/VideoDecoder.hpp"

namespace kiv::receiver {

class FrameDecoder {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    struct Options {
        VideoDecoder::Options decoder;
        std::optional<std::filesystem::path> record;   // Annex B H.264
        std::optional<std::filesystem::path> frameLog; // one line per frame
    };
    struct Decoded {
        std::optional<DecodedPicture> picture; // none: not decoded (awaiting a keyframe, or failed)
        double decodeMs = 0;
        std::uint64_t decodedAtUs = 0; // HostClock time the picture was ready
    };
    static constexpr auto kRequestInterval = std::chrono::milliseconds(500);
    static constexpr auto kLostAgainInterval = std::chrono::milliseconds(100);
    static constexpr auto kNoticeInterval = std::chrono::seconds(5);

    // `send` carries keyframe requests and stream limits to the host; `say` is for the person.
    FrameDecoder(Options options, std::function<void(const ControlMessage&)> send,
                 std::function<void(const std::string&)> say, Clock now = std::chrono::steady_clock::now);

    Decoded decode(const QueuedFrame& frame);
    // Called a few times a second whether frames come or not: a screen that went still right
    // after a lost frame (or a lost first keyframe) sends nothing more that would prompt a
    // request, so one waiting for a keyframe asks again on its own, every kRequestInterval.
    void remind();
    // The link gave up on a frame that began to arrive and went quiet: past it only a keyframe
    // decodes, and no later frame will come to prompt the request.
    void lostStalledFrame();
    // A link was (re)connected with a stream of this size: wait for its keyframe (the host sends
    // one, as if asked), and ask for a smaller stream at once if the decoder cannot take it.
    void linkConnected(int width, int height) {
        awaitingKeyframe_ = true;
        lastRequest_ = now_();
        checkLimit(width, height);
    }
    std::string backend() const { return decoder_.backend(); }

private:
    // Asks for a keyframe unless one was asked for within `interval`; says `why`, when given, at
    // most every kNoticeInterval.
    void ask(IDRReason reason, std::chrono::milliseconds interval, const std::function<std::string()>& why);
    void record(const Bytes& avcc);
    void checkLimit(int width, int height);

    VideoDecoder decoder_;
    std::function<void(const ControlMessage&)> send_;
    std::function<void(const std::string&)> say_;
    Clock now_;
    bool awaitingKeyframe_ = true;
    std::optional<std::chrono::steady_clock::time_point> lastRequest_;
    std::optional<std::chrono::steady_clock::time_point> lastNotice_;
    std::optional<std::pair<int, int>> limitAskedFor_; // the stream size a streamLimit went out for
    std::ofstream record_;
    std::ofstream frameLog_;
};

} // namespace kiv::receiver
