#pragma once
// The machine as fakes, for session and service tests in virtual time: every queue runs on the
// test's ManualExecutor, displays are the recording fake adapter, capture is a grabber the test
// can take away, encoding is instant.
#include <memory>
#include <string>
#include <vector>

#include "KivHostCore/Platform/EncoderBackend.hpp"
#include "KivHostCore/Platform/HostPlatform.hpp"
#include "KivHostCore/Platform/ScreenGrabber.hpp"
#include "KivHostCore/Testing/FakeEventPoster.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "VirtualDisplay/Testing/FakeVirtualDisplayAdapter.hpp"

namespace kiv {

// A labelled queue whose work runs on another executor (the test's virtual-time one).
class RedirectedExecutor final : public Executor {
public:
    RedirectedExecutor(std::string label, Executor& target)
        : label_(std::move(label)), target_(target.handle()), to_(target) {}
    ~RedirectedExecutor() override { retire(); }
    void post(Task task) override { target_.post(std::move(task)); }
    TimerHandle postAfter(Duration delay, Task task) override { return target_.postAfter(delay, std::move(task)); }
    bool sync(Task task) override { return to_.sync(std::move(task)); }
    MonotonicTime now() const override { return to_.now(); }
    bool isCurrent() const override { return to_.isCurrent(); }
    std::string_view label() const override { return label_; }

private:
    std::string label_;
    ExecutorHandle target_;
    Executor& to_;
};

class FakeEncoderBackend final : public EncoderBackend {
public:
    bool isHardware() const override { return false; }
    std::string name() const override { return "fake"; }
    std::expected<std::vector<EncodedPacket>, int> encode(const PixelBuffer&, std::uint64_t ptsUs,
                                                          bool forceKeyframe) override {
        if (failWith) return std::unexpected(*failWith);
        pts.push_back(ptsUs);
        forced.push_back(forceKeyframe);
        EncodedPacket packet;
        packet.isKeyframe = forceKeyframe || pts.size() == 1;
        packet.ptsUs = ptsUs;
        packet.data = Bytes{0, 0, 0, 1, static_cast<std::uint8_t>(packet.isKeyframe ? 0x65 : 0x41)};
        return std::vector<EncodedPacket>{packet};
    }
    bool setBitrate(std::int64_t bitrate) override {
        bitrates.push_back(bitrate);
        return true;
    }
    std::optional<int> failWith;
    std::vector<std::uint64_t> pts;
    std::vector<bool> forced;
    std::vector<std::int64_t> bitrates;
};

class FakeEncoderFactory final : public EncoderFactory {
public:
    std::expected<std::unique_ptr<EncoderBackend>, std::string> open(const EncoderOptions& options) override {
        if (refuse) return std::unexpected(std::string("no encoder"));
        lastOptions = options;
        auto backend = std::make_unique<FakeEncoderBackend>();
        last = backend.get();
        return backend;
    }
    bool refuse = false;
    EncoderOptions lastOptions;
    FakeEncoderBackend* last = nullptr;
};

// A desktop whose every display is a fixed rectangle; `lose()` takes the desktop away from every
// grabber made so far, as a lost X server would.
struct FakeDesktop {
    struct Grabber final : public ScreenGrabber {
        explicit Grabber(std::shared_ptr<FakeDesktop> d) : desktop(std::move(d)) {}
        std::expected<void, CaptureError> open(Executor&) override { return {}; }
        std::optional<ScreenRect> displayRect(std::optional<std::uint32_t>) override {
            return ScreenRect{0, 0, 640, 480};
        }
        void watch(ScreenRect, GrabberEvents handlers) override { desktop->events.push_back(std::move(handlers)); }
        bool grab(ScreenRect, PixelBuffer&, bool) override { return true; }
        void close() override {}
        std::shared_ptr<FakeDesktop> desktop;
    };
    std::vector<GrabberEvents> events;
    void lose() {
        auto watching = std::exchange(events, {});
        for (auto& e : watching)
            if (e.lost) e.lost("gone", 1);
    }
};

struct FakeHostPlatform {
    explicit FakeHostPlatform(ManualExecutor& main) {
        ports.makeQueue = [&main](const std::string& label, bool) -> std::unique_ptr<Executor> {
            return std::make_unique<RedirectedExecutor>(label, main);
        };
        ports.displays = displays;
        ports.makeDisplayClock = [clock = displayClock](Executor&) { return clock; };
        ports.mainDisplayBounds = [] { return std::optional(ScreenRect{0, 0, 1920, 1080}); };
        ports.makeGrabber = [desktop = desktop] { return std::make_unique<FakeDesktop::Grabber>(desktop); };
        ports.encoders = &encoders;
        ports.poster = poster;
        ports.displayBounds = [](std::uint32_t) { return std::optional(Rect{1920, 0, 1280, 800}); };
        ports.wallSeconds = [] { return 0.0; };
        ports.screenRecordingGranted = [this] { return screenGranted; };
    }
    std::shared_ptr<FakeVirtualDisplayAdapter> displays = std::make_shared<FakeVirtualDisplayAdapter>();
    std::shared_ptr<FakeVirtualDisplayClock> displayClock = std::make_shared<FakeVirtualDisplayClock>();
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    FakeEncoderFactory encoders;
    std::shared_ptr<FakeEventPoster> poster = std::make_shared<FakeEventPoster>();
    bool screenGranted = true;
    HostPlatform ports;
};

} // namespace kiv
