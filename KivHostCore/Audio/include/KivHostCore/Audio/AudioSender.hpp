#pragma once
// Puts a session's audio chunks on its current link as stream audio items, dropping chunks while
// more than 48 KiB of audio is still queued there (a dropped chunk leaves a gap in the sequence
// numbers, so the device can tell loss from silence). The 48 KiB are counted per link: a new link
// starts with the whole budget, whatever the old one still holds.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "KivHostCore/Platform/AudioSource.hpp"
#include "KivHostCore/Platform/HostTransport.hpp"

namespace kiv {

struct AudioSenderStats {
    std::int64_t packets = 0;
    double kbps = 0;
    std::int64_t dropped = 0;
    std::optional<std::int64_t> sampleRate; // of the last chunk offered
    std::optional<std::int64_t> channels;
    bool operator==(const AudioSenderStats&) const = default;
};

class AudioSender : public std::enable_shared_from_this<AudioSender> {
public:
    static constexpr std::int64_t kMaxInFlightBytes = 49'152;

    static std::shared_ptr<AudioSender> create() { return std::make_shared<AudioSender>(); }

    // The session's current link, or none. Any thread.
    void setTransport(std::shared_ptr<HostTransport> transport);
    // Any thread (the audio source's queue). Never blocks on the link.
    void send(const AudioChunk& chunk);
    // Figures since the previous call; `seconds` is the interval they cover.
    AudioSenderStats takeStats(double seconds);

private:
    struct LinkBudget {
        std::int64_t inFlight = 0; // guarded by the sender's mutex
    };
    void release(LinkBudget& budget, std::int64_t bytes);

    std::mutex mutex_;
    std::shared_ptr<HostTransport> transport_;
    std::shared_ptr<LinkBudget> budget_ = std::make_shared<LinkBudget>();
    std::uint32_t sequence_ = 0;
    std::int64_t packets_ = 0;
    std::int64_t bytes_ = 0;
    std::int64_t dropped_ = 0;
    std::optional<std::pair<std::int64_t, std::int64_t>> lastFormat_; // rate, channels
};

} // namespace kiv
