#pragma once
// One session's sound: whether the host's sound is captured and sent to the device, whether the
// host's own output is silenced meanwhile, how failed or interrupted captures are retried (after
// 1, 2, 3, 3, 3 s, then given up until something changes), and what the device is told.
// Main-executor confined; the sources stop on `queue`, since that may wait for the sound server.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/AudioSender.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Platform/AudioRecorder.hpp"
#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/SessionSettings.hpp"
#include "KivProtocol/Stats.hpp"

namespace kiv {

class AudioForwarder : public std::enable_shared_from_this<AudioForwarder> {
public:
    static constexpr std::int64_t kRate = 48'000;
    static constexpr std::int64_t kChannels = 2;
    static constexpr int kMaxRetries = 5;

    // What the session wants now.
    struct Wish {
        AudioRoute route = AudioRoute::host;
        bool clientPresent = false; // a client is admitted (its link may be away)
        bool streaming = false;     // its picture streams and it is not paused
    };
    // Test tone instead of the system's sound, and whether its every start fails.
    struct TestTone {
        double frequency = 440;
        bool failStart = false;
    };
    using MakeRecorder = std::function<std::shared_ptr<AudioRecorder>()>;

    static std::shared_ptr<AudioForwarder> create(Executor& main, Executor& queue, std::shared_ptr<AudioSender> sender,
                                                  std::shared_ptr<MuteCoordinator> muter, MakeRecorder makeRecorder);
    ~AudioForwarder(); // a source still running is stopped

    // The status the device is to hear (nothing: no sound here), when it changed or when forced.
    std::function<void(const std::optional<AudioStatus>& status)> onStatus;
    std::optional<TestTone> testTone;

    // Starts, keeps or stops the sound for `wish`, silencing the host for the device route.
    void update(const Wish& wish, bool forceSend);
    // A new chance for sound given up on (a new client, a wake): retries count from zero.
    void retryAfresh();
    // The same, only when it had given up (a settings change).
    void retryIfGaveUp();
    // Stops for good (the session ends): no source, the host's output given back.
    void stop();
    bool isCapturing() const { return source_ != nullptr; }
    const std::optional<AudioStatus>& status() const { return status_; }

    AudioForwarder(Executor& main, Executor& queue, std::shared_ptr<AudioSender> sender,
                   std::shared_ptr<MuteCoordinator> muter, MakeRecorder makeRecorder); // use create()

private:
    bool wanted() const {
        return !stopped_ && wish_.route != AudioRoute::host && wish_.clientPresent && wish_.streaming;
    }
    void start();
    void stopSource();
    void stopped(std::int64_t generation, std::optional<std::string> error);
    void scheduleRetry();
    void publish(bool forceSend);

    Executor& main_;
    Executor& queue_;
    std::shared_ptr<AudioSender> sender_;
    std::shared_ptr<MuteCoordinator> muter_;
    MakeRecorder makeRecorder_;
    KivLogger log_ = KivLog::logger("Session");

    Wish wish_;
    std::shared_ptr<AudioSource> source_;
    bool streaming_ = false; // source_ has started
    std::int64_t generation_ = 0;
    std::int64_t retries_ = 0;
    bool gaveUp_ = false;
    bool stopped_ = false;
    std::optional<std::string> error_;
    ScopedTimer retryTask_;
    std::optional<AudioStatus> status_;
};

} // namespace kiv
