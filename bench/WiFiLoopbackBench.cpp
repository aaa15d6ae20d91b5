// Sustained video over loopback through VideoSender -> WiFiTransport -> the receiver's client
// library, with 1080p-like frame sizes at 60 fps. Prints figures; never gates CI.
//   kiv_bench_wifi [--seconds N]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "KivHostCore/Metrics/PerformanceMonitor.hpp"
#include "KivHostCore/Testing/LoopbackWiFiHost.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivReceiver/ReceiverClient.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

struct LoopbackRun {
    double targetMbps = 0;
    double achievedMbps = 0;
    double datagramsPerSecond = 0;
    std::uint64_t packetsLost = 0;
    std::int64_t framesLost = 0;
    std::int64_t senderDropped = 0;
    std::int64_t senderSkipped = 0;
    double senderCpuMsPerMbit = 0;
    double receiverCpuMsPerMbit = 0;
    double latencyP50Ms = 0;
    double latencyP95Ms = 0;
    std::size_t frames = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

LoopbackRun run(double targetMbps, double seconds) {
    test::LoopbackWiFiHost host;
    receiver::ReceiverConfig config;
    config.controlPort = host.server->port();
    config.hello.deviceID = "bench";
    config.hello.codecs = {"h264"};
    receiver::ReceiverClient client(config);
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<std::uint64_t> bytes{0};
    client.onFrame = [&](const ReassembledFrame& frame, std::uint64_t completedAt) {
        bytes += frame.data.size();
        const std::lock_guard lock(mutex);
        latencies.push_back(static_cast<double>(completedAt - frame.captureTimeUs) / 1000.0);
    };
    client.start();
    if (!test::waitUntil([&] { return host.link(0) != nullptr; }, 10s)) return {};
    const auto link = host.link(0);
    ConnectInfo info;
    info.sessionID = 7;
    info.videoKey = 99;
    info.videoPort = host.udp->port();
    link->beginVideo(7, 99);
    link->sendControl(ControlMessage{info});
    if (!test::waitUntil([&] { return link->isVideoReady(); }, 10s)) return {};

    SerialQueue videoQueue("kiv.video");
    auto monitor = std::make_shared<PerformanceMonitor>(videoQueue);
    auto sender = VideoSender::create(videoQueue, monitor);
    sender->setTransport(link);
    sender->updateBitrate(static_cast<std::int64_t>(targetMbps * 1'000'000));

    // 1080p-like: a keyframe each second at 4x the mean size, P-frames varying around the mean.
    const double meanFrame = targetMbps * 1'000'000 / 8 / 60;
    std::mt19937 rng(1);
    const int frames = static_cast<int>(seconds * 60);
    std::vector<Bytes> payloads;
    for (int i = 0; i < 8; ++i) {
        Bytes data(static_cast<std::size_t>(meanFrame * 4));
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        payloads.push_back(std::move(data));
    }
    const auto cpuStart = processCPUTimeMicros();
    const auto receiverStart = client.threadCPUMicros();
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t sentBytes = 0;
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(static_cast<std::int64_t>(i * 1'000'000.0 / 60)));
        const bool key = i % 60 == 0;
        const double scale = key ? 4.0 : 0.95 * (0.7 + 0.6 * static_cast<double>(rng() % 1000) / 1000.0);
        const auto size = static_cast<std::size_t>(meanFrame * std::min(scale, 4.0));
        EncodedFrame frame{
            Bytes(payloads[static_cast<std::size_t>(i) % payloads.size()].begin(),
                  payloads[static_cast<std::size_t>(i) % payloads.size()].begin() + static_cast<std::ptrdiff_t>(size)),
            key, HostClock::nowMicros()};
        sentBytes += size;
        sender->send(std::move(frame));
    }
    test::waitUntil([&] { return sender->queueState() == std::pair<std::int64_t, std::int64_t>{0, 0}; }, 5s, 1ms);
    std::this_thread::sleep_for(100ms); // the last datagrams in flight on loopback
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto receiverCpu = client.threadCPUMicros() - receiverStart;
    const auto totalCpu = processCPUTimeMicros() - cpuStart;
    const auto stats = client.stats();
    const auto metrics = monitor->sample();
    client.stop();

    LoopbackRun r;
    r.targetMbps = targetMbps;
    r.frames = stats.framesReceived;
    r.achievedMbps = static_cast<double>(bytes.load()) * 8 / elapsed / 1e6;
    r.datagramsPerSecond = static_cast<double>(stats.packetsReceived) / elapsed;
    r.packetsLost = stats.packetsExpected - std::min(stats.packetsExpected, stats.packetsReceived);
    r.framesLost = stats.framesLost;
    r.senderDropped = metrics.droppedSendFrames;
    r.senderSkipped = metrics.skippedSendFrames;
    const double mbits = static_cast<double>(sentBytes) * 8 / 1e6;
    r.receiverCpuMsPerMbit = static_cast<double>(receiverCpu) / 1000.0 / mbits;
    r.senderCpuMsPerMbit = static_cast<double>(totalCpu - std::min(totalCpu, receiverCpu)) / 1000.0 / mbits;
    const std::lock_guard lock(mutex);
    r.latencyP50Ms = percentile(latencies, 0.50);
    r.latencyP95Ms = percentile(latencies, 0.95);
    return r;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    }
    KivLogStore::shared().setMirrorToStdout(false);
    std::printf("%8s %10s %10s %8s %8s %7s %7s %10s %10s %8s %8s\n", "target", "achieved", "dgram/s", "lostPkt",
                "lostFrm", "sDrop", "sSkip", "sCPUms/Mb", "rCPUms/Mb", "p50 ms", "p95 ms");
    for (const double mbps : {20.0, 100.0, 200.0, 300.0, 400.0}) {
        const auto r = run(mbps, seconds);
        std::printf("%8.0f %10.1f %10.0f %8llu %8lld %7lld %7lld %10.3f %10.3f %8.3f %8.3f\n", r.targetMbps,
                    r.achievedMbps, r.datagramsPerSecond, static_cast<unsigned long long>(r.packetsLost),
                    static_cast<long long>(r.framesLost), static_cast<long long>(r.senderDropped),
                    static_cast<long long>(r.senderSkipped), r.senderCpuMsPerMbit, r.receiverCpuMsPerMbit,
                    r.latencyP50Ms, r.latencyP95Ms);
        std::fflush(stdout);
    }
    return 0;
}
