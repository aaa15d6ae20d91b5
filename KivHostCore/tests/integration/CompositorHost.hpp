#pragma once
// The host on a Wayland compositor of the group's own (one per group, started by `Compositor`):
// a host service on it, the devices' monitors as the platform reports them, and windows of our
// own on a monitor that draw a colour and record the input they get.
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "HostFixture.hpp"

template <class Compositor>
class CompositorHost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto started = Compositor::start();
        if (!started) {
            startError_ = started.error();
            return;
        }
        compositor_ = started->release();
    }
    static void TearDownTestSuite() {
        delete compositor_;
        compositor_ = nullptr;
    }

    void SetUp() override {
        if (!compositor_ && startError_.notInstalled) KIV_SKIP_OR_FAIL(startError_.message);
        ASSERT_NE(compositor_, nullptr) << startError_.message;
        loop_ = std::thread([this] { main_.run(); });
    }
    void TearDown() override {
        stopHost();
        main_.stop();
        if (loop_.joinable()) loop_.join();
    }

    // What the platform is given to use the compositor, and the name the host and devices go by.
    virtual void useCompositor(LinuxPlatformOptions& options) const = 0;
    virtual std::string name() const = 0;

    void startHost() {
        HostSettings settings = HostSettings::makeDefault();
        settings.serviceName = name() + " Host";
        settings.controlPort = 0;
        settings.videoPort = 0;
        settings.loopbackOnly = true;
        settings.usbEnabled = usbEnabled_;
        settings.graceSeconds = 0.3; // a device that leaves gives its monitor back soon
        settings.linkHoldSeconds = 0.3;
        LinuxPlatformOptions options;
        useCompositor(options);
        options.webLink = false;
        options.defaults = std::make_shared<InMemoryKeyValueStore>();
        options.pulseServer = "unix:/nonexistent/pulse";
        platform_ = LinuxPlatform::create(options, main_);
        ASSERT_EQ(platform_->displayProblem(), "");
        main_.sync([&] {
            service_ =
                HostService::create(settings, FrameSourceKind::screenCapture, pairing_, platform_->ports(), main_);
            service_->approvalHandler = [](const PeerRequest&, DisplaySession::ApprovalReply reply) { reply(true); };
            service_->onStatus = [this](const HostService::Status& status) {
                const std::lock_guard lock(statusMutex_);
                status_ = status;
            };
            ASSERT_TRUE(service_->start());
            controlPort_ = service_->controlPort();
        });
    }
    void stopHost() {
        if (service_)
            main_.sync([&] {
                service_->stop();
                service_.reset();
            });
        platform_.reset();
    }

    std::optional<Rect> monitorOf(const std::string& id) {
        std::optional<std::uint32_t> display;
        {
            const std::lock_guard lock(statusMutex_);
            for (const auto& d : status_.devices)
                if (d.deviceID == id) display = d.displayID;
        }
        if (!display) return std::nullopt;
        return platform_->ports().displayBounds(*display);
    }
    std::unique_ptr<WiFiDevice> connect(const std::string& id,
                                        ScreenInfo screen = {1280, 800, 1, Orientation::landscape}) {
        auto hello = helloFor(id, name() + " tablet");
        hello.screen = screen;
        auto device = std::make_unique<WiFiDevice>(hello, controlPort_);
        EXPECT_TRUE(waitUntil([&] { return monitorOf(id).has_value() && device->seen.pictureSize(); }, kDeadline));
        return device;
    }

    // A window of our own filling `output` (a name, or "@X,Y": the output placed there), in `rgb`,
    // whose input lines are read back.
    struct Window {
        test::ChildProcess process;
        std::filesystem::path log;
        std::string lines() const {
            std::ifstream in(log);
            std::stringstream s;
            s << in.rdbuf();
            return s.str();
        }
    };
    std::unique_ptr<Window> window(const std::string& output, const std::string& rgb) {
        auto w = std::make_unique<Window>();
        w->log = std::filesystem::path(folder_.path()) / ("probe-" + output + ".log");
        ProcessOptions options;
        options.argv = {KIV_WAYLAND_PROBE, output, rgb};
        options.environment = {{"WAYLAND_DISPLAY", compositor_->wayland()}};
        options.logFile = w->log;
        auto started = test::ChildProcess::start(options);
        EXPECT_TRUE(started) << (started ? "" : started.error());
        if (!started) return nullptr;
        w->process = std::move(*started);
        EXPECT_TRUE(waitUntil([&] { return w->lines().find("ready") != std::string::npos; }, kDeadline)) << w->lines();
        return w;
    }

    static inline Compositor* compositor_ = nullptr;
    static inline test::StartError startError_;
    test::TempDir folder_{"kiv-compositor-test"};
    MainLoop main_;
    std::thread loop_;
    std::unique_ptr<LinuxPlatform> platform_;
    std::shared_ptr<PairingStore> pairing_ = std::make_shared<InMemoryPairingStore>();
    std::shared_ptr<HostService> service_;
    std::mutex statusMutex_;
    HostService::Status status_;
    std::uint16_t controlPort_ = 0;
    bool usbEnabled_ = false;
};

// Luma of a full-range sRGB colour in the stream's video range (BT.601, as the encoder's input).
inline double lumaOf(int r, int g, int b) {
    return 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255;
}
