// The whole host against real services: a private Xvfb whose RandR monitors are the devices'
// displays, MIT-SHM capture, libx264, loopback sockets, and the receiver library as the device
// (Wi-Fi client and USB device role), decoding what it gets with libavcodec.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Testing/FakeUsbmuxd.hpp"
#include "KivHostCore/Service/HostService.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"
#include "KivReceiver/VideoDecoder.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::waitUntil;

namespace {

constexpr auto kDeadline = 45s;

std::uint16_t freePort(int type) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int kivMonitors(const std::string& display) {
    const auto result = test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}});
    int count = 0;
    for (std::size_t at = result.output.find("KIV-"); at != std::string::npos; at = result.output.find("KIV-", at + 1))
        count += result.output.compare(at, 8, "KIV-MAIN") != 0; // the desktop's own area on a one-CRTC server
    return count;
}

Hello helloFor(const std::string& id, const std::string& name) {
    Hello hello;
    hello.deviceID = id;
    hello.deviceName = name;
    hello.model = "iPad13,4";
    hello.systemVersion = "17.4";
    hello.screen = {1366, 1024, 1, Orientation::landscape};
    hello.codecs = {"h264"};
    hello.recommendedFPS = 30;
    return hello;
}

// What a device saw: control messages and the newest decoded picture.
struct Seen {
    std::mutex mutex;
    std::vector<ControlMessage> controls;
    std::optional<receiver::DecodedPicture> picture;
    receiver::VideoDecoder decoder;
    bool closed = false;

    void control(const ControlMessage& message) {
        const std::lock_guard lock(mutex);
        controls.push_back(message);
    }
    void frame(const Bytes& data) {
        const std::lock_guard lock(mutex);
        if (auto decoded = decoder.decode(data)) picture = std::move(decoded);
    }
    int count(ControlMessage::Case kind) {
        const std::lock_guard lock(mutex);
        return static_cast<int>(std::count_if(controls.begin(), controls.end(), [&](auto& m) { return m.kind() == kind; }));
    }
    std::vector<ConnectInfo> connects() {
        const std::lock_guard lock(mutex);
        std::vector<ConnectInfo> out;
        for (const auto& m : controls)
            if (const auto* c = m.get<ConnectInfo>()) out.push_back(*c);
        return out;
    }
    // Mean luma of the whole newest picture.
    std::optional<double> meanLuma() {
        const std::lock_guard lock(mutex);
        if (!picture) return std::nullopt;
        return picture->meanLuma(0, 0, picture->width, picture->height);
    }
};

struct WiFiDevice {
    Seen seen;
    receiver::ReceiverClient client;
    WiFiDevice(Hello hello, std::uint16_t port)
        : client({.host = "127.0.0.1", .controlPort = port, .hello = std::move(hello)}) {
        client.onControl = [this](const ControlMessage& m) { seen.control(m); };
        client.onFrame = [this](const ReassembledFrame& f, std::uint64_t) { seen.frame(f.data); };
        client.start();
    }
};

struct UsbDevice {
    Seen seen;
    receiver::UsbDeviceServer server;
    UsbDevice(Hello hello, std::uint16_t port) : server(std::move(hello), port, true) {
        server.onControl = [this](const ControlMessage& m) { seen.control(m); };
        server.onVideo = [this](const StreamVideoFrame& f) { seen.frame(f.data); };
        server.start();
    }
};

// One Xvfb and one host per test group; each test gets fresh devices and device identifiers.
class HostServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        auto xvfb = test::XvfbServer::start();
        if (!xvfb) {
            skip_ = xvfb.error().message;
            return;
        }
        xvfb_ = xvfb->release();
        test::shrinkXvfbDesktop(xvfb_->display(), 1024, 768);
    }
    static void TearDownTestSuite() {
        delete xvfb_;
        xvfb_ = nullptr;
    }

    void SetUp() override {
        if (!xvfb_) GTEST_SKIP() << skip_;
        loop_ = std::thread([this] { main_.run(); });
    }
    void TearDown() override {
        if (service_) main_.sync([&] { service_->stop(); service_.reset(); });
        main_.stop();
        if (loop_.joinable()) loop_.join();
        platform_.reset();
        ::unsetenv("KIV_USBMUXD_SOCKET");
    }

    void startHost(const std::function<void(HostSettings&)>& tweak = {}) {
        HostSettings settings = HostSettings::makeDefault();
        settings.serviceName = "Test Host";
        settings.controlPort = 0;
        settings.videoPort = 0;
        settings.loopbackOnly = true;
        settings.usbEnabled = false;
        if (tweak) tweak(settings);
        LinuxPlatformOptions options;
        options.display = xvfb_->display();
        options.defaults = std::make_shared<InMemoryKeyValueStore>();
        options.pulseServer = "unix:/nonexistent/pulse"; // no sound server: sound stays out of these tests
        platform_ = LinuxPlatform::create(options, main_);
        main_.sync([&] {
            service_ = HostService::create(settings, FrameSourceKind::screenCapture, pairing_, platform_->ports(), main_);
            service_->approvalHandler = [this](const PeerRequest& request, DisplaySession::ApprovalReply reply) {
                requests_.push_back(request);
                reply(true);
            };
            service_->onStatus = [this](const HostService::Status& status) {
                const std::lock_guard lock(statusMutex_);
                status_ = status;
            };
            ASSERT_TRUE(service_->start());
            controlPort_ = service_->controlPort();
        });
    }

    HostService::Status status() {
        const std::lock_guard lock(statusMutex_);
        return status_;
    }
    std::optional<HostStatus> device(const std::string& id) {
        for (const auto& d : status().devices)
            if (d.deviceID == id) return d;
        return std::nullopt;
    }
    // The device's monitor rectangle on the X screen, once it has one.
    std::optional<Rect> monitorOf(const std::string& id) {
        const auto d = device(id);
        if (!d || !d->displayID) return std::nullopt;
        return platform_->ports().displayBounds(*d->displayID);
    }
    // Paints `r` and waits for the device's picture to show it; paints again every second, since
    // on a loaded machine a frame may be lost and a still screen sends nothing new by itself.
    bool showsLuma(Seen& seen, const Rect& r, std::uint32_t rgb, double low, double high) {
        auto lastPaint = std::chrono::steady_clock::time_point{};
        return waitUntil(
            [&] {
                if (std::chrono::steady_clock::now() - lastPaint > 1s) {
                    paint(r, rgb);
                    lastPaint = std::chrono::steady_clock::now();
                }
                const auto mean = seen.meanLuma();
                return mean && *mean >= low && *mean <= high;
            },
            kDeadline, 50ms);
    }
    void paint(const Rect& r, std::uint32_t rgb) {
        test::Painter painter(xvfb_->display());
        painter.fill(rgb, static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(r.width),
                     static_cast<int>(r.height));
    }

    static inline test::XvfbServer* xvfb_ = nullptr;
    static inline std::string skip_;
    MainLoop main_;
    std::thread loop_;
    std::unique_ptr<LinuxPlatform> platform_;
    std::shared_ptr<PairingStore> pairing_ = std::make_shared<InMemoryPairingStore>();
    std::shared_ptr<HostService> service_;
    std::vector<PeerRequest> requests_; // main thread
    std::mutex statusMutex_;
    HostService::Status status_;
    std::uint16_t controlPort_ = 0;
};

TEST_F(HostServiceTest, TwoDevicesEachSeeTheirOwnMonitorAndAPairedOneComesStraightBack) {
    startHost();
    auto a = std::make_unique<WiFiDevice>(helloFor("wifi-a-0001", "Left iPad"), controlPort_);
    ASSERT_TRUE(waitUntil([&] { return a->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(a->seen.count(ControlMessage::Case::pairingPending), 1);
    WiFiDevice b(helloFor("wifi-b-0002", "Right iPad"), controlPort_);
    ASSERT_TRUE(waitUntil([&] { return b.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return monitorOf("wifi-a-0001") && monitorOf("wifi-b-0002"); }, kDeadline));

    const auto left = *monitorOf("wifi-a-0001");
    const auto right = *monitorOf("wifi-b-0002");
    EXPECT_GE(right.x, left.x + left.width) << "monitors side by side, in creation order";
    EXPECT_TRUE(showsLuma(a->seen, left, 0xFFFFFF, 200, 255)) << "the left device sees its white monitor";
    EXPECT_TRUE(showsLuma(b.seen, right, 0x404040, 40, 110)) << "the right device sees its grey monitor, not the white one";
    const auto devices = status().devices;
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].clientName, "Left iPad");
    EXPECT_EQ(devices[1].clientName, "Right iPad");
    EXPECT_EQ(status().service.kind, HostStatus::Service::Kind::streaming);

    // The paired device comes back with its token: no pairing request, straight to connect.
    const auto token = a->seen.connects().front().token;
    a.reset();
    auto hello = helloFor("wifi-a-0001", "Left iPad");
    hello.token = token;
    WiFiDevice again(hello, controlPort_);
    ASSERT_TRUE(waitUntil([&] { return again.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(again.seen.count(ControlMessage::Case::pairingPending), 0);
    EXPECT_TRUE(showsLuma(again.seen, left, 0xFFFFFF, 200, 255));
    main_.sync([&] { EXPECT_EQ(requests_.size(), 2u); });
}

// The USB leg goes through a usbmuxd stand-in on its own socket, relaying to the device role.
TEST_F(HostServiceTest, OneDeviceMovesWiFiToUsbToWiFiKeepingItsSessionAndDisplay) {
    test::FakeUsbmuxd usbmuxd;
    ::setenv("KIV_USBMUXD_SOCKET", usbmuxd.socketPath().c_str(), 1);
    startHost([&](HostSettings& s) {
        s.usbEnabled = true;
        s.linkHoldSeconds = 5;
        s.graceSeconds = 0.5;
    });
    const auto created = test::countLogged("Virtual display created");
    auto hello = helloFor("switch-0003", "Moving iPad");
    auto wifi = std::make_unique<WiFiDevice>(hello, controlPort_);
    ASSERT_TRUE(waitUntil([&] { return wifi->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    const auto first = wifi->seen.connects().front();
    ASSERT_TRUE(waitUntil([&] { return monitorOf("switch-0003").has_value(); }, kDeadline));
    const auto displayID = device("switch-0003")->displayID;

    hello.token = first.token;
    auto usb = std::make_unique<UsbDevice>(hello, 0);
    usbmuxd.setDevice(7, {"00008103-0A0B0C0D0E0F", true, 0, usb->server.port()});
    usbmuxd.attach(7);
    ASSERT_TRUE(waitUntil([&] { return usb->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(usb->seen.connects().front().sessionID, first.sessionID);
    EXPECT_TRUE(showsLuma(usb->seen, *monitorOf("switch-0003"), 0xFFFFFF, 200, 255)) << "video arrives over the USB link";
    wifi.reset();

    usbmuxd.detach(7); // cable pulled; Wi-Fi comes back within the hold
    usb.reset();
    auto back = std::make_unique<WiFiDevice>(hello, controlPort_);
    ASSERT_TRUE(waitUntil([&] { return back->seen.count(ControlMessage::Case::connect) == 1; }, kDeadline));
    EXPECT_EQ(back->seen.connects().front().sessionID, first.sessionID);
    EXPECT_EQ(device("switch-0003")->displayID, displayID);
    main_.sync([&] { EXPECT_EQ(service_->session("switch-0003")->active()->linkChanges, 3); });
    EXPECT_EQ(test::countLogged("Virtual display created"), created + 1) << "no display creation after the first";
    EXPECT_TRUE(test::logged("Transport switched USB → Wi-Fi"));

    // The link goes and nothing comes back: hold, grace, then no monitor is left.
    main_.sync([&] { service_->setGraceSeconds(0.3); });
    back.reset();
    EXPECT_TRUE(waitUntil([&] { return test::logged("No link took over within 5s: client disconnected Moving iPad"); },
                          kDeadline));
    EXPECT_TRUE(waitUntil([&] { return kivMonitors(xvfb_->display()) == 0 && status().devices.empty(); }, kDeadline));
}

TEST(HostProcess, ServesADeviceAndLeavesNoMonitorBehindOnSigterm) {
    auto xvfb = test::XvfbServer::start();
    if (!xvfb) GTEST_SKIP() << xvfb.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-host-home");
    const auto control = freePort(SOCK_STREAM);
    const auto video = freePort(SOCK_DGRAM);
    // A run that crashed while it held the output silenced: the next start undoes it (the device is
    // gone here, so only the note goes).
    const auto config = home.path() / "config" / "kivdisplay" / "kivdisplay-host.json";
    std::filesystem::create_directories(config.parent_path());
    std::ofstream(config) << R"({"kiv.audio.mutedDevice": {"uid": "speakers", "volume": 0.5}})";
    auto host = test::ChildProcess::start(
        {.argv = {KIV_HOST_BINARY, "--approve-all", "--loopback-only", "--no-usb", "--display", (*xvfb)->display(),
                  "--control-port", std::to_string(control), "--video-port", std::to_string(video), "--name", "CI Host"},
         .environment = {{"XDG_CONFIG_HOME", (home.path() / "config").string()},
                         {"XDG_STATE_HOME", (home.path() / "state").string()},
                         {"PULSE_SERVER", "unix:/nonexistent/pulse"}},
         .logFile = home.path() / "host.log",
         .keepFds = {}});
    ASSERT_TRUE(host) << host.error();
    ASSERT_TRUE(waitUntil([&] { return host->log().find("Listening: control port") != std::string::npos; }, kDeadline))
        << host->log();

    WiFiDevice device(helloFor("process-0004", "CI iPad"), control);
    ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline)) << host->log();
    EXPECT_TRUE(waitUntil([&] { return device.seen.meanLuma().has_value(); }, kDeadline)) << "a decoded picture";
    std::stringstream stored;
    stored << std::ifstream(config).rdbuf();
    EXPECT_EQ(stored.str().find("kiv.audio.mutedDevice"), std::string::npos) << stored.str();
    EXPECT_NE(stored.str().find("hostID"), std::string::npos) << "the rest of the settings stay";
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 1);

    const int status = host->stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << host->log();
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 0) << "no KivDisplay monitor left";
    EXPECT_NE(host->log().find("status: streaming"), std::string::npos) << host->log();
}

} // namespace
