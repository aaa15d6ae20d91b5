// Audio figures on this machine (a private PulseAudio server started here): capture latency, from
// the moment an application writes the first block of a 440 Hz tone into a low-latency playback
// stream to the first captured chunk that carries it — on the default output, and through the
// device-only route (null sink). Prints figures; never gates CI.   kiv_bench_audio [--runs N]
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <string>
#include <thread>
#include <vector>

#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Audio/SystemAudioCapture.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Linux/PulseAudioRecorder.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivProtocol/HostClock.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kFrames = 480; // 10 ms blocks

// An application: writes 10 ms blocks of silence, or of the tone while `tone` is set.
class Player {
public:
    explicit Player(const std::string& server) {
        const pa_sample_spec spec{PA_SAMPLE_S16LE, 48'000, 2};
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = kFrames * 4 * 2; // 20 ms, what a low-latency player asks for
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = static_cast<std::uint32_t>(-1);
        int error = 0;
        stream_ = pa_simple_new(server.c_str(), "kiv-bench-player", PA_STREAM_PLAYBACK, nullptr, "tone", &spec, nullptr,
                                &attributes, &error);
        if (!stream_) {
            std::fprintf(stderr, "player: %s\n", pa_strerror(error));
            return;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Player() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (stream_) pa_simple_free(stream_);
    }
    bool ok() const { return stream_ != nullptr; }
    // Starts the tone; the moment its first block is written is toneWrittenUs().
    void toneOn() {
        toneWrittenUs_ = 0;
        tone_ = true;
    }
    void toneOff() { tone_ = false; }
    std::uint64_t toneWrittenUs() const { return toneWrittenUs_; }

private:
    void run() {
        std::vector<std::int16_t> block(kFrames * 2);
        double phase = 0;
        while (!stop_) {
            const bool tone = tone_;
            for (std::size_t f = 0; f < kFrames; ++f) {
                const auto v = tone ? static_cast<std::int16_t>(16384.0 * std::sin(phase)) : std::int16_t{0};
                block[f * 2] = block[f * 2 + 1] = v;
                phase = std::fmod(phase + 2.0 * std::numbers::pi * 440.0 / 48'000.0, 2.0 * std::numbers::pi);
            }
            if (tone && toneWrittenUs_ == 0) toneWrittenUs_ = HostClock::nowMicros();
            int error = 0;
            if (pa_simple_write(stream_, block.data(), block.size() * 2, &error) < 0) return;
        }
    }

    pa_simple* stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> tone_{false};
    std::atomic<std::uint64_t> toneWrittenUs_{0};
};

struct Figures {
    double p50 = 0, p95 = 0, max = 0;
};
Figures figures(std::vector<double> v) {
    if (v.empty()) return {};
    std::ranges::sort(v);
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
    };
    return {at(0.5), at(0.95), v.back()};
}

// Tone on until the capture hears it, off until it is silent again; `runs` times.
std::vector<double> measure(Player& player, std::atomic<std::uint64_t>& heardUs, std::atomic<bool>& silent, int runs) {
    std::vector<double> latencies;
    for (int i = 0; i < runs; ++i) {
        if (!test::waitUntil([&] { return silent.load(); }, 5s, 1ms)) break;
        heardUs = 0;
        player.toneOn();
        if (!test::waitUntil([&] { return heardUs.load() != 0 && player.toneWrittenUs() != 0; }, 5s, 1ms)) break;
        latencies.push_back(static_cast<double>(heardUs.load() - player.toneWrittenUs()) / 1000.0);
        player.toneOff();
        test::waitUntil([&] { return !silent.load(); }, 200ms, 1ms);
    }
    return latencies;
}

void print(const char* what, const std::vector<double>& latencies) {
    const auto f = figures(latencies);
    std::printf("%-46s runs %3zu  p50 %6.1f ms  p95 %6.1f ms  max %6.1f ms\n", what, latencies.size(), f.p50, f.p95,
                f.max);
}

} // namespace

int main(int argc, char** argv) {
    int runs = 40;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    auto pulse = test::PulseAudioServer::start("speakers");
    if (!pulse) {
        std::fprintf(stderr, "PulseAudio: %s\n", pulse.error().message.c_str());
        return 1;
    }
    const auto server = (*pulse)->serverAddress();

    std::atomic<std::uint64_t> heardUs{0};
    std::atomic<bool> silent{false};
    auto recorder = PulseAudioRecorder::create({server, {}});
    auto capture = SystemAudioCapture::create(recorder, 48'000, 2);
    capture->onChunk = [&](AudioChunk chunk) {
        std::int16_t peak = 0;
        for (std::size_t i = 0; i + 1 < chunk.pcm.size(); i += 2) {
            std::int16_t v = 0;
            std::memcpy(&v, chunk.pcm.data() + i, 2);
            peak = std::max<std::int16_t>(peak, static_cast<std::int16_t>(std::abs(v)));
        }
        silent = peak < 16;
        if (peak > 1'600 && heardUs == 0) heardUs = HostClock::nowMicros();
    };
    std::atomic<bool> started{false};
    capture->start([&](std::expected<void, AudioCaptureError> outcome) {
        if (!outcome) std::fprintf(stderr, "capture: %s\n", outcome.error().description().c_str());
        started = outcome.has_value();
    });
    Player player(server);
    if (!player.ok() || !test::waitUntil([&] { return started.load(); }, 10s)) return 1;

    std::printf("tone written into a 20 ms playback buffer -> first captured chunk carrying it:\n");
    print("default output (speakers.monitor)", measure(player, heardUs, silent, runs));

    MainLoop main;
    std::thread loop([&] { main.run(); });
    auto devices = PulseAudioDevices::create(main, server);
    HostOutputMuter muter(devices, std::make_shared<InMemoryKeyValueStore>());
    const auto muteStart = HostClock::nowMicros();
    main.sync([&] { muter.mute(); });
    test::waitUntil([&] { return devices->isRouted(); }, 10s, 1ms);
    std::printf("%-46s %.0f ms\n", "device route: null sink warm-up before the move",
                static_cast<double>(HostClock::nowMicros() - muteStart) / 1000.0);
    test::waitUntil([&] { return recorder->currentSource() == "KivDisplay.monitor"; }, 10s, 1ms);
    print("device route (KivDisplay.monitor)", measure(player, heardUs, silent, runs));
    main.sync([&] { muter.restore(); });
    main.stop();
    loop.join();
    capture->stop();
    return 0;
}
