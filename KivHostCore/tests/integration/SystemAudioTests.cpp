// System sound on a private PulseAudio server: a 440 Hz tone played by pacat, as any application
// would, is found (Goertzel) in what the capture delivers and on the speakers' monitor, depending
// on whether the host's output is kept for the device alone.
#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <mutex>
#include <numbers>
#include <sstream>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Audio/SystemAudioCapture.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Linux/PulseAudioRecorder.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/Signal.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::PulseAudioServer;
using test::runProgram;
using test::TempDir;
using test::waitUntil;

constexpr auto kDeadline = 20s; // the null sink alone warms up for 2 s; the machine may be busy
constexpr double kToneAmplitude = 0.5;

// Amplitude (full scale 1.0) of the 440 Hz component of 16-bit samples.
double toneAmplitude(std::span<const std::int16_t> samples) {
    if (samples.empty()) return 0;
    const double omega = 2.0 * std::numbers::pi * 440.0 / 48'000.0;
    const double coefficient = 2.0 * std::cos(omega);
    double s1 = 0;
    double s2 = 0;
    for (const auto sample : samples) {
        const double s0 = sample / 32768.0 + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

bool isTone(double amplitude) {
    return std::abs(amplitude - kToneAmplitude) < 0.05;
}

// What a capture delivered: the left channel of the last second, and the peak since a mark.
class Recording {
public:
    void attach(AudioSource& source) {
        source.onChunk = [this](AudioChunk chunk) { add(chunk); };
    }
    void add(const AudioChunk& chunk) {
        const auto frames = chunk.pcm.size() / 4;
        std::vector<std::int16_t> left(frames);
        for (std::size_t f = 0; f < frames; ++f)
            std::memcpy(&left[f], chunk.pcm.data() + f * 4, 2);
        const std::lock_guard lock(mutex_);
        ++chunks_;
        if (chunk.channels != 2 || chunk.sampleRate != 48'000) ++badFormats_;
        if (!firstTone_ && toneAmplitude(left) > 0.1) firstTone_ = HostClock::nowMicros();
        const bool silent = std::ranges::all_of(left, [](std::int16_t v) { return std::abs(v) < 33; });
        silentSinceMark_ += silent ? frames : 0;
        for (const auto sample : left) {
            samples_.push_back(sample);
            peak_ = std::max(peak_, std::abs(sample / 32768.0));
        }
        samplesSinceMark_ += frames;
        while (samples_.size() > 48'000)
            samples_.pop_front();
    }
    // The last 100 ms (44 whole periods of the tone).
    double recentTone() const {
        const std::lock_guard lock(mutex_);
        if (samples_.size() < 4'800) return 0;
        const std::vector<std::int16_t> window(samples_.end() - 4'800, samples_.end());
        return toneAmplitude(window);
    }
    void mark() {
        const std::lock_guard lock(mutex_);
        peak_ = 0;
        samplesSinceMark_ = 0;
        silentSinceMark_ = 0;
    }
    // Milliseconds of silence delivered since the mark.
    double silentMsSinceMark() const {
        const std::lock_guard lock(mutex_);
        return static_cast<double>(silentSinceMark_) / 48.0;
    }
    // Waits for `seconds` of audio after the mark and gives its peak.
    std::optional<double> peakOver(double seconds) const {
        const bool enough = waitUntil(
            [&] {
                const std::lock_guard lock(mutex_);
                return samplesSinceMark_ >= static_cast<std::size_t>(seconds * 48'000);
            },
            kDeadline);
        if (!enough) return std::nullopt;
        const std::lock_guard lock(mutex_);
        return peak_;
    }
    bool waitForTone() const {
        return waitUntil([&] { return isTone(recentTone()); }, kDeadline);
    }
    bool waitForSilence() const {
        return waitUntil([&] { return recentTone() < 0.001 && chunks() > 10; }, kDeadline);
    }
    std::size_t chunks() const {
        const std::lock_guard lock(mutex_);
        return chunks_;
    }
    int badFormats() const {
        const std::lock_guard lock(mutex_);
        return badFormats_;
    }
    std::optional<std::uint64_t> firstTone() const {
        const std::lock_guard lock(mutex_);
        return firstTone_;
    }

private:
    mutable std::mutex mutex_;
    std::deque<std::int16_t> samples_;
    std::size_t chunks_ = 0;
    int badFormats_ = 0;
    double peak_ = 0;
    std::size_t samplesSinceMark_ = 0;
    std::size_t silentSinceMark_ = 0;
    std::optional<std::uint64_t> firstTone_;
};

std::expected<void, AudioCaptureError> startAndWait(AudioSource& source) {
    auto promise = std::make_shared<std::promise<std::expected<void, AudioCaptureError>>>();
    auto future = promise->get_future();
    source.start([promise](std::expected<void, AudioCaptureError> outcome) { promise->set_value(std::move(outcome)); });
    if (future.wait_for(kDeadline) != std::future_status::ready) {
        return std::unexpected(AudioCaptureError::startFailed("no answer"));
    }
    return future.get();
}

int logged(std::string_view prefix) {
    return test::countLogged(prefix, test::Match::startsWith);
}

// The main thread the muter lives on.
struct MainThread {
    MainThread() : thread([this] { loop.run(); }) {}
    ~MainThread() {
        loop.stop();
        thread.join();
    }
    MainLoop loop;
    std::thread thread;
};

// Each case on PulseAudio and on PipeWire's PulseAudio server.
class SystemAudioTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        KivLogStore::shared().clear();
        if (!test::findProgram("pacat")) KIV_SKIP_OR_FAIL("pacat is not installed (scripts/install-deps installs it)");
        auto started = GetParam() == "pipewire" ? PulseAudioServer::startPipeWire("speakers")
                                                : PulseAudioServer::start("speakers");
        KIV_REQUIRE_STARTED(started);
        ASSERT_TRUE(started) << started.error().message;
        pulse = std::move(*started);
        // Ten seconds of a 0.5-amplitude 440 Hz stereo tone, 48 kHz s16le, looped by the players.
        std::ofstream out(dir.path() / "tone.raw", std::ios::binary);
        for (int f = 0; f < 48'000 * 10; ++f) {
            const auto sample = static_cast<std::int16_t>(
                std::lround(16384.0 * std::sin(2.0 * std::numbers::pi * 440.0 * f / 48'000.0)));
            out.write(reinterpret_cast<const char*>(&sample), 2);
            out.write(reinterpret_cast<const char*>(&sample), 2);
        }
    }

    void TearDown() override {
        if (HasFailure()) std::cout << "The log:\n" << KivLogStore::shared().text(LogLevel::debug);
    }

    // An application playing the tone, on the default output unless `device` is given.
    ChildProcess play(std::optional<std::string> device = {}) {
        const auto shell = test::findProgram("sh");
        const auto pacat = test::findProgram("pacat");
        std::string command =
            "while :; do " + *pacat + " --playback --raw --format=s16le --rate=48000 --channels=2 --latency-msec=20";
        if (device) command += " -d " + *device;
        command += " " + (dir.path() / "tone.raw").string() + " || exit 1; done";
        test::ProcessOptions options{{*shell, "-c", command}, pulse->environment(), dir.path() / "pacat.log", {}};
        auto child = ChildProcess::start(options);
        EXPECT_TRUE(child) << child.error();
        return child ? std::move(*child) : ChildProcess{};
    }

    struct Capture {
        std::shared_ptr<PulseAudioRecorder> recorder;
        std::shared_ptr<SystemAudioCapture> source;
        AudioSource* operator->() const { return source.get(); }
        AudioSource& operator*() const { return *source; }
        std::string currentSource() const { return recorder->currentSource(); }
    };
    Capture capture(std::optional<std::string> source = {}) {
        auto recorder = PulseAudioRecorder::create({pulse->serverAddress(), std::move(source)});
        return {recorder, SystemAudioCapture::create(recorder, 48'000, 2)};
    }

    // The host's capture and a probe of `sink`'s monitor, both started and recording.
    struct Ears {
        Recording captured; // outlive the captures that feed them
        Recording heard;
        Capture system;
        Capture probe;
        // Stopped here, not just released: a delivery in flight keeps a capture alive past its last
        // owner, and would land in a recording already gone.
        ~Ears() {
            if (system.source) system->stop();
            if (probe.source) probe->stop();
        }
    };
    std::unique_ptr<Ears> listen(const std::string& sink) {
        auto ears = std::make_unique<Ears>();
        ears->system = capture();
        ears->probe = capture(sink + ".monitor");
        ears->captured.attach(*ears->system);
        ears->heard.attach(*ears->probe);
        EXPECT_TRUE(startAndWait(*ears->system));
        EXPECT_TRUE(startAndWait(*ears->probe));
        return ears;
    }

    std::string pactl(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{"pactl"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        auto result = runProgram(argv, pulse->environment());
        EXPECT_EQ(result.exitCode, 0) << result.output;
        while (!result.output.empty() && result.output.back() == '\n')
            result.output.pop_back();
        return result.output;
    }
    std::string defaultSink() { return pactl({"get-default-sink"}); }
    // The sink each playing stream is on, by name.
    std::vector<std::string> inputSinks() {
        std::map<std::string, std::string> names;
        std::istringstream sinks(pactl({"list", "short", "sinks"}));
        for (std::string line; std::getline(sinks, line);) {
            std::istringstream fields(line);
            std::string index;
            std::string name;
            fields >> index >> name;
            names[index] = name;
        }
        std::vector<std::string> result;
        std::istringstream inputs(pactl({"list", "short", "sink-inputs"}));
        for (std::string line; std::getline(inputs, line);) {
            std::istringstream fields(line);
            std::string index;
            std::string sink;
            fields >> index >> sink;
            result.push_back(names[sink]);
        }
        return result;
    }
    bool hasSink(const std::string& name) {
        return pactl({"list", "short", "sinks"}).find("\t" + name + "\t") != std::string::npos;
    }

    TempDir dir{"kiv-audio"};
    std::unique_ptr<PulseAudioServer> pulse;
};

TEST_P(SystemAudioTest, CapturesTheDefaultOutputWhileItKeepsPlaying) {
    // Route "both": nothing is moved, the capture records the default sink's monitor.
    const auto ears = listen("speakers");
    auto& [captured, heard, system, speakers] = *ears;
    EXPECT_EQ(system.currentSource(), "speakers.monitor");
    EXPECT_EQ(logged("System audio capture started 48000Hz 2ch (source speakers.monitor)"), 2);
    ASSERT_TRUE(captured.waitForSilence());

    const auto toneStart = HostClock::nowMicros();
    auto player = play();
    ASSERT_TRUE(captured.waitForTone()) << captured.recentTone();
    ASSERT_TRUE(heard.waitForTone()) << heard.recentTone();
    ASSERT_TRUE(captured.firstTone());
    std::cout << "capture latency (tone start to first chunk with energy): "
              << (*captured.firstTone() - toneStart) / 1000.0 << " ms\n";
    EXPECT_EQ(captured.badFormats(), 0);
    // One format line per start, not per buffer.
    // 16-bit on PulseAudio, float on PipeWire: the server's own format, converted here.
    EXPECT_EQ(logged("System audio format: 48000Hz 2ch "), 2);

    system->stop();
    const auto chunks = captured.chunks();
    EXPECT_EQ(logged("System audio capture stopped"), 1);
    // Nothing may arrive after stop returned (a bounded wait for something that must not happen).
    EXPECT_FALSE(waitUntil([&] { return captured.chunks() != chunks; }, 100ms, 5ms));

    // A second start on the same object logs its format again.
    ASSERT_TRUE(startAndWait(*system));
    captured.mark();
    ASSERT_TRUE(captured.peakOver(0.2));
    // Waited for, not sampled once: a player starved for a moment on a loaded machine leaves a
    // gap in any one 100 ms window.
    ASSERT_TRUE(captured.waitForTone()) << captured.recentTone();
    EXPECT_EQ(logged("System audio format: "), 3);
}

TEST_P(SystemAudioTest, DeviceRouteSilencesTheSpeakersAndRestoreBringsThemBack) {
    MainThread main;
    SerialQueue muteQueue("kiv.audio.mute", SerialQueue::ownThread);
    auto devices = PulseAudioDevices::create(muteQueue, pulse->serverAddress());
    auto store = std::make_shared<InMemoryKeyValueStore>();
    MuteCoordinator coordinator(std::make_unique<HostOutputMuter>(devices, store), muteQueue, main.loop);
    // The main thread asks and goes on; the outcome comes back to it.
    const auto setAndWait = [&](const void* owner, bool wants) {
        test::Signal done;
        bool reportedOnMain = false;
        main.loop.post([&] {
            coordinator.set(owner, wants, [&](const MuteCoordinator::State&) {
                reportedOnMain = main.loop.isCurrent();
                done.notify();
            });
        });
        EXPECT_TRUE(done.waitFor());
        EXPECT_TRUE(reportedOnMain);
    };
    auto player = play();
    const auto ears = listen("speakers");
    auto& [captured, heard, system, speakers] = *ears;
    ASSERT_TRUE(heard.waitForTone());

    const int owner = 0;
    captured.mark();
    setAndWait(&owner, true);
    EXPECT_TRUE(coordinator.isMuted());
    EXPECT_EQ(store->dictionary(std::string(kMutedDeviceKey)), (StoredDictionary{{"uid", {std::string("speakers")}}}));
    ASSERT_TRUE(waitUntil([&] { return devices->isRouted(); }, kDeadline));
    EXPECT_EQ(defaultSink(), "KivDisplay");
    EXPECT_TRUE(
        waitUntil([&] { return logged("Host sound now plays into KivDisplay (taken from speakers)") == 1; }, kDeadline))
        << "said once the server took it as the default";
    EXPECT_TRUE(waitUntil([&] { return system.currentSource() == "KivDisplay.monitor"; }, kDeadline));
    ASSERT_TRUE(heard.waitForSilence()) << heard.recentTone();
    ASSERT_TRUE(captured.waitForTone()) << captured.recentTone();
    // The speakers play on while the null sink warms up, so the device hears (almost) no gap.
    std::cout << "silence heard by the device while its route took over: " << captured.silentMsSinceMark() << " ms\n";
    EXPECT_LT(captured.silentMsSinceMark(), 1500.0) << "well under the 2 s a cold sink takes to deliver";

    // An application that asks for the speakers by name is moved off them too (its first few
    // milliseconds may reach them before the move).
    auto named = play("speakers");
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto sinks = inputSinks();
            return sinks.size() == 2 && std::ranges::count(sinks, "KivDisplay") == 2;
        },
        kDeadline));
    heard.mark();
    ASSERT_TRUE(heard.peakOver(0.2)); // past what reached the speakers before the move
    heard.mark();
    const auto peak = heard.peakOver(0.5);
    ASSERT_TRUE(peak);
    EXPECT_LT(*peak, 0.001);

    // The device's own idea of the default is still the speakers.
    std::optional<AudioDeviceID> current;
    muteQueue.sync([&] { current = devices->defaultOutputDevice(); });
    ASSERT_TRUE(current);
    EXPECT_EQ(devices->uid(*current), "speakers");
    named.stop();
    ASSERT_TRUE(captured.waitForTone()) << captured.recentTone(); // the two players no longer add up

    setAndWait(&owner, false);
    EXPECT_FALSE(store->value(std::string(kMutedDeviceKey)));
    EXPECT_EQ(defaultSink(), "speakers");
    EXPECT_FALSE(hasSink("KivDisplay"));
    ASSERT_TRUE(heard.waitForTone()) << heard.recentTone();
    EXPECT_TRUE(waitUntil([&] { return system.currentSource() == "speakers.monitor"; }, kDeadline));
    ASSERT_TRUE(captured.waitForTone());

    // No stream-restore entry pulls the player back when a sink of that name appears again.
    pactl({"load-module", "module-null-sink", "sink_name=KivDisplay"});
    EXPECT_TRUE(hasSink("KivDisplay"));
    EXPECT_EQ(inputSinks(), std::vector<std::string>{"speakers"});
}

TEST_P(SystemAudioTest, ChangingTheDefaultOutputWhileMutedMovesAlong) {
    pactl({"load-module", "module-null-sink", "sink_name=headphones", "rate=48000", "channels=2"});
    MainThread main;
    auto devices = PulseAudioDevices::create(main.loop, pulse->serverAddress());
    auto store = std::make_shared<InMemoryKeyValueStore>();
    HostOutputMuter muter(devices, store);
    auto player = play();
    const auto ears = listen("headphones");
    auto& [captured, heard, system, headphones] = *ears;
    bool muted = false;
    main.loop.sync([&] { muted = muter.mute(); });
    ASSERT_TRUE(muted);
    ASSERT_TRUE(waitUntil([&] { return devices->isRouted(); }, kDeadline));

    pactl({"set-default-sink", "headphones"});
    EXPECT_TRUE(
        waitUntil([&] { return logged("Mac default output changed, moving mute to the new device") == 1; }, kDeadline));
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto entry = store->dictionary(std::string(kMutedDeviceKey));
            return entry && entry->at("uid") == StoredValue{std::string("headphones")} && devices->isRouted();
        },
        kDeadline));
    EXPECT_EQ(defaultSink(), "KivDisplay");
    ASSERT_TRUE(heard.waitForSilence()) << heard.recentTone();
    ASSERT_TRUE(captured.waitForTone()) << captured.recentTone();

    main.loop.sync([&] { muter.restore(); });
    EXPECT_EQ(defaultSink(), "headphones");
    EXPECT_FALSE(hasSink("KivDisplay"));
    ASSERT_TRUE(heard.waitForTone());
}

TEST_P(SystemAudioTest, AHostKilledWhileMutedIsUndoneAtTheNextStart) {
    Recording heard;
    auto speakers = capture("speakers.monitor");
    heard.attach(*speakers);
    auto player = play();
    ASSERT_TRUE(startAndWait(*speakers));
    ASSERT_TRUE(heard.waitForTone());

    const auto settings = dir.path() / "settings.json";
    const auto marker = dir.path() / "routed";
    auto child =
        ChildProcess::start({{KIV_AUDIO_MUTE_CHILD, pulse->serverAddress(), settings.string(), marker.string()},
                             pulse->environment(),
                             dir.path() / "child.log",
                             {}});
    ASSERT_TRUE(child) << child.error();
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(marker) || !child->isRunning(); }, kDeadline))
        << child->log();
    ASSERT_TRUE(std::filesystem::exists(marker)) << child->log();
    ASSERT_TRUE(heard.waitForSilence());
    ::kill(child->pid(), SIGKILL);
    child->stop();

    // What it left: our sink as the default, the sound in it, the key naming the speakers.
    EXPECT_EQ(defaultSink(), "KivDisplay");
    auto store = std::make_shared<JsonFileKeyValueStore>(settings);
    ASSERT_TRUE(store->dictionary(std::string(kMutedDeviceKey)));

    MainThread main;
    auto devices = PulseAudioDevices::create(main.loop, pulse->serverAddress());
    main.loop.sync([&] { HostOutputMuter::restoreAfterCrash(*devices, *store); });
    EXPECT_EQ(logged("Restored Mac output left muted by a previous run (speakers)"), 1);
    EXPECT_FALSE(JsonFileKeyValueStore(settings).value(std::string(kMutedDeviceKey)));
    EXPECT_EQ(defaultSink(), "speakers");
    EXPECT_FALSE(hasSink("KivDisplay"));
    ASSERT_TRUE(heard.waitForTone()) << heard.recentTone();

    // Without a key, a leftover sink still goes.
    pactl({"load-module", "module-null-sink", "sink_name=KivDisplay"});
    pactl({"set-default-sink", "KivDisplay"});
    main.loop.sync([&] { HostOutputMuter::restoreAfterCrash(*devices, *store); });
    EXPECT_EQ(defaultSink(), "speakers");
    EXPECT_FALSE(hasSink("KivDisplay"));

    // Ended by exit() while silenced (a toolkit whose display went): given back on the way out.
    std::filesystem::remove(marker);
    auto exiting =
        ChildProcess::start({{KIV_AUDIO_MUTE_CHILD, pulse->serverAddress(), settings.string(), marker.string(), "exit"},
                             pulse->environment(),
                             dir.path() / "exiting.log",
                             {}});
    ASSERT_TRUE(exiting) << exiting.error();
    const auto status = exiting->wait(kDeadline);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << exiting->log();
    EXPECT_TRUE(std::filesystem::exists(marker)) << "it was routed first";
    EXPECT_EQ(defaultSink(), "speakers");
    EXPECT_FALSE(hasSink("KivDisplay"));
    EXPECT_FALSE(JsonFileKeyValueStore(settings).value(std::string(kMutedDeviceKey)));

    // With the guard the programs start, a killed host's output comes back without a next start.
    std::filesystem::remove(marker);
    auto guarded = ChildProcess::start(
        {{KIV_AUDIO_MUTE_CHILD, pulse->serverAddress(), settings.string(), marker.string(), "guarded"},
         pulse->environment(),
         dir.path() / "guarded.log",
         {}});
    ASSERT_TRUE(guarded) << guarded.error();
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(marker) || !guarded->isRunning(); }, kDeadline));
    ASSERT_TRUE(heard.waitForSilence()) << guarded->log();
    ::kill(guarded->pid(), SIGKILL);
    guarded->stop();
    EXPECT_TRUE(waitUntil([&] { return defaultSink() == "speakers" && !hasSink("KivDisplay"); }, kDeadline));
    ASSERT_TRUE(heard.waitForTone()) << heard.recentTone();
    EXPECT_TRUE(
        waitUntil([&] { return !JsonFileKeyValueStore(settings).value(std::string(kMutedDeviceKey)); }, kDeadline));
    speakers->stop(); // before `heard` goes (see Ears)
}

TEST_P(SystemAudioTest, FailuresToStartAndAServerThatGoesAway) {
    auto nowhere = SystemAudioCapture::create(
        PulseAudioRecorder::create({"unix:" + (dir.path() / "no-such-socket").string(), {}}));
    const auto refused = startAndWait(*nowhere);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, AudioCaptureError::Kind::startFailed);
    EXPECT_EQ(refused.error().description(), RemoteText::make(RemoteText::audioStartFailed, {"Connection refused"}));

    auto missing = capture("no-such-source");
    const auto noSource = startAndWait(*missing);
    ASSERT_FALSE(noSource);
    EXPECT_EQ(noSource.error().message, "No such entity");

    auto system = capture();
    std::promise<std::optional<std::string>> stopped;
    system->onStop = [&](std::optional<std::string> error) { stopped.set_value(std::move(error)); };
    ASSERT_TRUE(startAndWait(*system));
    pulse->process().stop();
    auto report = stopped.get_future();
    ASSERT_EQ(report.wait_for(kDeadline), std::future_status::ready);
    const auto error = report.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(logged("System audio stream stopped: " + *error + " [pulseaudio "), 1);
    system->stop();
}

// The last owner of a capture may let go while a chunk is being delivered: the capture then ends
// on the recorder's own thread, which must not take the loop lock it already holds.
TEST_P(SystemAudioTest, ACaptureReleasedInsideItsOwnCallbackStopsCleanly) {
    auto holder = SystemAudioCapture::create(PulseAudioRecorder::create({pulse->serverAddress(), {}}), 48'000, 2);
    test::Signal released;
    std::atomic<bool> once{false};
    holder->onChunk = [&](const AudioChunk&) {
        if (once.exchange(true)) return;
        holder.reset(); // the delivering thread now holds the only reference
        released.notify();
    };
    auto* raw = holder.get();
    ASSERT_TRUE(startAndWait(*raw));
    ASSERT_TRUE(released.waitFor());
    EXPECT_TRUE(waitUntil([&] { return logged("System audio capture stopped") == 1; }, kDeadline));
}

// A sound server that stops answering (stopped, hung) cannot hold the muter's queue for good: each
// call gives up at its deadline, and the server is usable again once it answers.
TEST_P(SystemAudioTest, AServerThatStopsAnsweringCannotHoldACallerPastTheDeadline) {
    SerialQueue queue("kiv.audio.mute", SerialQueue::ownThread);
    auto devices = PulseAudioDevices::create(queue, pulse->serverAddress());
    std::optional<AudioDeviceID> current;
    queue.sync([&] { current = devices->defaultOutputDevice(); });
    ASSERT_TRUE(current);

    ASSERT_EQ(::kill(pulse->process().pid(), SIGSTOP), 0);
    test::Signal answered;
    std::optional<AudioDeviceID> whileStopped = 42;
    queue.post([&] {
        whileStopped = devices->defaultOutputDevice();
        answered.notify();
    });
    const bool returned = answered.waitFor(20s);
    ::kill(pulse->process().pid(), SIGCONT);
    ASSERT_TRUE(returned) << "the call waited on a server that does not answer";
    EXPECT_FALSE(whileStopped.has_value());

    EXPECT_TRUE(waitUntil(
        [&] {
            std::optional<AudioDeviceID> again;
            queue.sync([&] { again = devices->defaultOutputDevice(); });
            return again.has_value();
        },
        kDeadline))
        << "usable again once the server answers";
}

INSTANTIATE_TEST_SUITE_P(Servers, SystemAudioTest, ::testing::Values("pulseaudio", "pipewire"),
                         [](const auto& info) { return info.param; });

} // namespace
} // namespace kiv
