// One device's control-link latency while other sessions work: a ping/pong over the loopback
// control stream, measured idle and while a second session encodes 2732x2048 at 60 fps and a third
// keeps changing its display mode on a private Xvfb. Run twice: with the encoder and display queues
// on threads of their own (as sessions run them), and with both on the shared worker pool.
//   kiv_bench_isolation [--seconds N]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "KivHostCore/Linux/FfmpegEncoder.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Platform/ExecutorDisplayClock.hpp"
#include "KivHostCore/Testing/LoopbackWiFiHost.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"
#include "VirtualDisplay/VirtualDisplayManager.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// The device side: a ping every 5 ms on the control link, answered by the host's link queue.
class PingProbe {
public:
    explicit PingProbe(test::LoopbackWiFiHost& host) {
        receiver::ReceiverConfig config;
        config.controlPort = host.server->port();
        config.hello.deviceID = "probe";
        config.hello.codecs = {"h264"};
        config.pingInterval = std::chrono::hours(1); // only our own pings
        client_ = std::make_unique<receiver::ReceiverClient>(config);
        client_->onControl = [this](const ControlMessage& message) {
            if (message.kind() != ControlMessage::Case::pong) return;
            const auto& pong = std::get<PongInfo>(message.value);
            const std::lock_guard lock(mutex_);
            if (recording_) rtts_.push_back(static_cast<double>(HostClock::nowMicros() - pong.t0) / 1000.0);
        };
        client_->start();
        test::waitUntil([&] { return host.link(0) != nullptr; }, 20s);
        link_ = host.link(0);
        if (link_) {
            link_->setOnControl([weak = std::weak_ptr<WiFiTransport>(link_)](const ControlMessage& message) {
                if (message.kind() != ControlMessage::Case::ping) return;
                if (auto link = weak.lock())
                    link->sendControl(ControlMessage{PongInfo{std::get<PingInfo>(message.value).t0, 0, 0}});
            });
        }
        pinger_ = std::thread([this] {
            while (!stop_) {
                client_->send(ControlMessage{PingInfo{HostClock::nowMicros()}});
                std::this_thread::sleep_for(5ms);
            }
        });
    }
    ~PingProbe() {
        stop_ = true;
        pinger_.join();
        client_->stop();
    }
    bool ready() const { return link_ != nullptr; }
    // Round trips measured over `duration`, in milliseconds.
    std::vector<double> measure(std::chrono::milliseconds duration) {
        {
            const std::lock_guard lock(mutex_);
            rtts_.clear();
            recording_ = true;
        }
        std::this_thread::sleep_for(duration);
        const std::lock_guard lock(mutex_);
        recording_ = false;
        return rtts_;
    }

private:
    std::unique_ptr<receiver::ReceiverClient> client_;
    std::shared_ptr<WiFiTransport> link_;
    std::thread pinger_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    bool recording_ = false;
    std::vector<double> rtts_;
};

// A second session: 2732x2048 frames of a changing desktop offered to the encoder at 60 fps.
class EncodeLoad {
public:
    explicit EncodeLoad(Executor& queue) {
        auto created = H264Encoder::create({2732, 2048, 60, 20'000'000, 2.0, std::nullopt}, factory_, queue, nullptr);
        if (!created) return;
        encoder_ = *created;
        encoder_->onEncoded = [this](EncodedFrame) { ++encoded_; };
        feeder_ = std::thread([this] {
            std::mt19937 rng(1);
            for (int i = 0; !stop_; ++i) {
                auto buffer = std::make_shared<PixelBuffer>(2732, 2048);
                SyntheticFrameSource::draw(*buffer, i);
                for (int k = 0; k < 64; ++k)
                    buffer->luma()[rng() % (2732u * 2048u)] = static_cast<std::uint8_t>(rng());
                encoder_->encode(buffer, HostClock::nowMicros());
                std::this_thread::sleep_for(16ms);
            }
        });
    }
    ~EncodeLoad() {
        stop_ = true;
        if (feeder_.joinable()) feeder_.join();
        if (encoder_) encoder_->invalidate();
    }
    std::int64_t encoded() const { return encoded_; }

private:
    FfmpegEncoderFactory factory_{"ultrafast", false};
    std::shared_ptr<H264Encoder> encoder_;
    std::thread feeder_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> encoded_{0};
};

// A third session: its display changes mode back and forth, each change with its settle waits.
class DisplayLoad {
public:
    DisplayLoad(const std::string& display, Executor& queue) : queue_(queue) {
        adapter_ = std::make_shared<RandRVirtualDisplayAdapter>(display, [](std::function<void()>) {});
        manager_ = VirtualDisplayManager::create(adapter_, std::make_shared<ExecutorDisplayClock>(queue));
        queue.post([this] {
            if (manager_->createDisplay({"Load", {1280, 800, 60}, {}, false, 132, 1, 1, 1})) next();
        });
    }
    ~DisplayLoad() {
        stop_ = true;
        queue_.sync([this] { manager_->destroyDisplay(); });
    }
    int changes() const { return changes_; }

private:
    void next() {
        if (stop_) return;
        static const VirtualDisplayMode modes[] = {{1024, 640, 60}, {800, 1280, 60}, {1280, 800, 60}};
        manager_->setResolution(modes[changes_ % 3]); // in place, then two recreates
        ++changes_;
        queue_.post([this] { next(); });
    }

    Executor& queue_;
    std::shared_ptr<RandRVirtualDisplayAdapter> adapter_;
    std::shared_ptr<VirtualDisplayManager> manager_;
    std::atomic<bool> stop_{false};
    std::atomic<int> changes_{0};
};

void report(const char* what, const std::vector<double>& rtts) {
    std::printf("  %-34s pings %5zu  p50 %6.2f ms  p99 %6.2f ms  max %7.2f ms\n", what, rtts.size(),
                percentile(rtts, 0.5), percentile(rtts, 0.99),
                rtts.empty() ? 0.0 : *std::max_element(rtts.begin(), rtts.end()));
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1, std::atoi(argv[i + 1]));
    auto xvfb = test::XvfbServer::start(8192, 8192);
    if (!xvfb) {
        std::fprintf(stderr, "Xvfb: %s\n", xvfb.error().message.c_str());
        return 1;
    }
    if (!test::shrinkXvfbDesktop((*xvfb)->display(), 1920, 1080)) return 1;
    const auto window = std::chrono::milliseconds(seconds * 1000);
    std::printf("control-link ping round trip on loopback, %d s per figure, %u shared workers\n", seconds,
                WorkerPool::shared().threadCount());
    for (const bool ownThreads : {true, false}) {
        test::LoopbackWiFiHost host;
        PingProbe probe(host);
        if (!probe.ready()) return 1;
        std::printf("%s\n", ownThreads ? "encoder and display queues on threads of their own:"
                                       : "encoder and display queues on the shared worker pool:");
        report("idle", probe.measure(window));
        auto encoderQueue = ownThreads ? std::make_unique<SerialQueue>("kiv.encoder", SerialQueue::ownThread)
                                       : std::make_unique<SerialQueue>("kiv.encoder");
        auto displayQueue = ownThreads ? std::make_unique<SerialQueue>("kiv.display", SerialQueue::ownThread)
                                       : std::make_unique<SerialQueue>("kiv.display");
        std::vector<double> loaded;
        int changes = 0;
        std::int64_t encoded = 0;
        {
            EncodeLoad encode(*encoderQueue);
            DisplayLoad display((*xvfb)->display(), *displayQueue);
            loaded = probe.measure(window);
            changes = display.changes();
            encoded = encode.encoded();
        }
        char label[96];
        std::snprintf(label, sizeof label, "encoding + %d mode changes", changes);
        report(label, loaded);
        std::printf("  (the encoding session made %.1f frames/s of 2732x2048)\n",
                    static_cast<double>(encoded) / seconds);
    }
    return 0;
}
