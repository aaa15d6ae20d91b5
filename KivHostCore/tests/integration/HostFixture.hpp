#pragma once
// One private Xvfb per test group and one host over the Linux platform per test; the receiver
// library as the device, recording what it is told and decoding what it is shown.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Service/HostService.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/XPainter.hpp"
#include "KivReceiver/ReceiverClient.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"
#include "KivReceiver/VideoDecoder.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::waitUntil;

inline constexpr auto kDeadline = 45s;

inline int kivMonitors(const std::string& display) {
    const auto result = test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}});
    int count = 0;
    for (std::size_t at = result.output.find("KIV-"); at != std::string::npos; at = result.output.find("KIV-", at + 1))
        count += result.output.compare(at, 8, "KIV-MAIN") != 0; // the desktop's own area on a one-CRTC server
    return count;
}

// A process's state letter and parent, from /proc; nothing once it is gone.
inline std::optional<std::pair<char, pid_t>> stateAndParent(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    if (!(fields >> state >> parent)) return std::nullopt;
    return std::pair{state, parent};
}

// The guard process `parent` started.
inline std::optional<pid_t> childOf(pid_t parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name;
        std::ifstream comm(entry.path() / "comm");
        std::getline(comm, name);
        if (name != "kiv-guard") continue;
        const auto pid = static_cast<pid_t>(std::stoi(entry.path().filename()));
        if (const auto found = stateAndParent(pid); found && found->second == parent) return pid;
    }
    return std::nullopt;
}

// Ended: gone, or a zombie nobody reaped (an init that does not reap orphans).
inline bool ended(pid_t pid) {
    const auto found = stateAndParent(pid);
    return !found || found->first == 'Z';
}
// SIGKILL, then the guard has done its work before the next host starts.
inline void killWithGuard(test::ChildProcess& host) {
    const auto guard = childOf(host.pid());
    ::kill(host.pid(), SIGKILL);
    host.stop(5s);
    ASSERT_TRUE(guard) << "the host runs with its guard";
    EXPECT_TRUE(waitUntil([&] { return ended(*guard); }, kDeadline));
}

inline Hello helloFor(const std::string& id, const std::string& name) {
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
    std::unique_ptr<receiver::VideoDecoder> decoder = std::make_unique<receiver::VideoDecoder>();
    int pictures = 0;
    bool decodes = true; // off: frames are only counted (a sanitizer build decodes too slowly to keep up)
    std::vector<std::int16_t> leftChannel; // the newest second of sound

    void control(const ControlMessage& message) {
        const std::lock_guard lock(mutex);
        controls.push_back(message);
    }
    void frame(const Bytes& data) {
        const std::lock_guard lock(mutex);
        if (!decodes) return;
        if (auto decoded = decoder->decode(data)) {
            picture = std::move(decoded);
            ++pictures;
        }
    }
    void audio(const StreamAudioPacket& packet) {
        const std::lock_guard lock(mutex);
        for (std::size_t i = 0; i + 1 < packet.pcm.size(); i += 2u * packet.channels)
            leftChannel.push_back(static_cast<std::int16_t>(packet.pcm[i] | (packet.pcm[i + 1] << 8)));
        if (leftChannel.size() > 48'000) leftChannel.erase(leftChannel.begin(), leftChannel.end() - 48'000);
    }
    void stopDecoding() {
        const std::lock_guard lock(mutex);
        decodes = false;
    }
    // A decoder that has seen nothing: its next picture needs a keyframe.
    void forgetPictures() {
        const std::lock_guard lock(mutex);
        decoder = std::make_unique<receiver::VideoDecoder>();
        picture.reset();
    }
    int pictureCount() {
        const std::lock_guard lock(mutex);
        return pictures;
    }
    std::optional<std::pair<int, int>> pictureSize() {
        const std::lock_guard lock(mutex);
        if (!picture) return std::nullopt;
        return std::pair{picture->width, picture->height};
    }
    template <class T>
    std::vector<T> all() {
        const std::lock_guard lock(mutex);
        std::vector<T> out;
        for (const auto& m : controls)
            if (const auto* v = m.get<T>()) out.push_back(*v);
        return out;
    }
    int count(ControlMessage::Case kind) {
        const std::lock_guard lock(mutex);
        return static_cast<int>(
            std::count_if(controls.begin(), controls.end(), [&](auto& m) { return m.kind() == kind; }));
    }
    std::vector<ConnectInfo> connects() { return all<ConnectInfo>(); }
    // Mean luma of the whole newest picture.
    std::optional<double> meanLuma() {
        const std::lock_guard lock(mutex);
        if (!picture) return std::nullopt;
        return picture->meanLuma(0, 0, picture->width, picture->height);
    }
    // Mean luma of the middle half of the newest picture (clear of any bars a scaled picture has).
    std::optional<double> middleLuma() {
        const std::lock_guard lock(mutex);
        if (!picture) return std::nullopt;
        return picture->meanLuma(picture->width / 4, picture->height / 4, picture->width / 2, picture->height / 2);
    }
};

struct WiFiDevice {
    Seen seen;
    receiver::ReceiverClient client;
    WiFiDevice(Hello hello, std::uint16_t port)
        : client({.host = "127.0.0.1", .controlPort = port, .hello = std::move(hello)}) {
        client.onControl = [this](const ControlMessage& m) { seen.control(m); };
        client.onFrame = [this](const ReassembledFrame& f, std::uint64_t) { seen.frame(f.data); };
        client.onAudio = [this](const StreamAudioPacket& p) { seen.audio(p); };
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
            startError_ = xvfb.error();
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
        if (!xvfb_ && startError_.notInstalled) KIV_SKIP_OR_FAIL(startError_.message);
        ASSERT_NE(xvfb_, nullptr) << startError_.message;
        loop_ = std::thread([this] { main_.run(); });
    }
    void TearDown() override {
        if (service_)
            main_.sync([&] {
                service_->stop();
                service_.reset();
            });
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
        settings.webPort = 0;
        if (tweak) tweak(settings);
        LinuxPlatformOptions options;
        options.display = xvfb_->display();
        options.webLink = webFolder_.has_value(); // never the certificate in the user's own folder
        options.webIdentityFolder = webFolder_;
        options.defaults = std::make_shared<InMemoryKeyValueStore>();
        options.pulseServer = pulseServer_;
        platform_ = LinuxPlatform::create(options, main_);
        main_.sync([&] {
            service_ =
                HostService::create(settings, FrameSourceKind::screenCapture, pairing_, platform_->ports(), main_);
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

    static inline PrivateXServer* xvfb_ = nullptr;
    static inline test::StartError startError_;
    MainLoop main_;
    std::thread loop_;
    std::unique_ptr<LinuxPlatform> platform_;
    std::shared_ptr<PairingStore> pairing_ = std::make_shared<InMemoryPairingStore>();
    std::shared_ptr<HostService> service_;
    std::vector<PeerRequest> requests_; // main thread
    std::mutex statusMutex_;
    HostService::Status status_;
    std::uint16_t controlPort_ = 0;
    std::optional<std::filesystem::path> webFolder_;      // set: the host has a web link, its certificate here
    std::string pulseServer_ = "unix:/nonexistent/pulse"; // no sound server unless a test starts one
};

// `kivdisplay-host` as a process on an X display, with its own settings and state folders under
// `home`, on free loopback ports; started and listening, or a failure the caller reports.
struct HostProcess {
    test::ChildProcess process;
    std::uint16_t controlPort = 0;
    std::uint16_t videoPort = 0;

    static std::expected<HostProcess, std::string>
    start(const std::string& display, const std::filesystem::path& home,
          std::vector<std::string> flags = {"--approve-all"}, std::string pulseServer = "unix:/nonexistent/pulse",
          std::uint16_t controlPort = 0, std::vector<std::pair<std::string, std::string>> extraEnv = {}) {
        HostProcess host;
        host.controlPort = controlPort != 0 ? controlPort : test::freeLoopbackPort(SOCK_STREAM);
        host.videoPort = test::freeLoopbackPort(SOCK_DGRAM);
        std::vector<std::string> argv{KIV_HOST_BINARY,  "--loopback-only",
                                      "--display",      display,
                                      "--control-port", std::to_string(host.controlPort),
                                      "--video-port",   std::to_string(host.videoPort),
                                      "--name",         "CI Host"};
        if (std::ranges::find(flags, "--usb-direct") == flags.end())
            argv.push_back("--no-usb"); // never the machine's usbmuxd
        if (std::ranges::find(flags, "--web-port") == flags.end()) {
            argv.push_back("--web-port"); // never the machine's one web port
            argv.push_back("0");
        }
        argv.insert(argv.end(), flags.begin(), flags.end());
        std::vector<std::pair<std::string, std::string>> environment{{"XDG_CONFIG_HOME", (home / "config").string()},
                                                                     {"XDG_STATE_HOME", (home / "state").string()},
                                                                     {"PULSE_SERVER", pulseServer},
                                                                     {"KIV_LOG_STDOUT", "1"}};
        environment.insert(environment.end(), extraEnv.begin(), extraEnv.end());
        std::error_code ignored; // a run before in the same home: its "Listening" must not count
        std::filesystem::remove(home / "host.log", ignored);
        auto child = test::ChildProcess::start(
            {.argv = argv, .environment = environment, .logFile = home / "host.log", .keepFds = {}});
        if (!child) return std::unexpected(child.error());
        host.process = std::move(*child);
        if (!waitUntil([&] { return host.process.log().find("Listening: control port") != std::string::npos; },
                       kDeadline))
            return std::unexpected("the host did not start listening:\n" + host.process.log());
        return host;
    }
};
