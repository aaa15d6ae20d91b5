// USB links over real sockets: the monitor in direct mode against the receiver's USB device role,
// in usbmux mode through a usbmuxd stand-in that relays to that device role, and against the real
// usbmuxd daemon.
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <random>

#include "KivHostCore/Linux/AsioNetwork.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/FakeUsbmuxd.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Transport/USBDeviceMonitor.hpp"
#include "KivReceiver/UsbDeviceServer.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::logged;
using test::waitUntil;

namespace {

constexpr auto kDeadline = 20s;

// The host's USB side: a monitor whose links are started and recorded.
struct UsbHost {
    AsioNetworkFactory network;
    DaemonUsbmuxService usbmux{network};
    SerialQueue monitorQueue{"kiv.usb.monitor"};
    SerialQueue mainQueue{"main"};
    SerialQueue linksQueue{"kiv.control.links"};
    std::shared_ptr<USBDeviceMonitor> monitor;
    std::mutex mutex;
    std::vector<std::shared_ptr<USBTransport>> links;
    std::vector<ControlMessage> received;
    std::vector<std::pair<std::vector<USBDeviceStatus>, std::optional<std::string>>> statuses;

    explicit UsbHost(USBDeviceMonitor::Mode mode, std::uint16_t devicePort = KivConstants::defaultUSBPort) {
        monitor = USBDeviceMonitor::create(std::move(mode), devicePort, usbmux, network, monitorQueue, mainQueue);
        monitor->onTransport = [this](std::shared_ptr<USBTransport> link) {
            link->setOnControl([this](const ControlMessage& message) {
                const std::lock_guard lock(mutex);
                received.push_back(message);
            });
            link->start(linksQueue);
            const std::lock_guard lock(mutex);
            links.push_back(std::move(link));
        };
        monitor->onStatus = [this](const auto& list, const auto& error) {
            const std::lock_guard lock(mutex);
            statuses.emplace_back(list, error);
        };
    }
    ~UsbHost() { monitor->stop(); }

    std::shared_ptr<USBTransport> link() {
        const std::lock_guard lock(mutex);
        return links.empty() ? nullptr : links.back();
    }
    bool receivedKind(ControlMessage::Case kind) {
        const std::lock_guard lock(mutex);
        return std::any_of(received.begin(), received.end(), [&](const auto& m) { return m.kind() == kind; });
    }
    std::optional<std::pair<std::vector<USBDeviceStatus>, std::optional<std::string>>> lastStatus() {
        const std::lock_guard lock(mutex);
        if (statuses.empty()) return std::nullopt;
        return statuses.back();
    }
};

Hello deviceHello() {
    Hello hello;
    hello.deviceID = "usb-device";
    hello.deviceName = "Cable iPad";
    hello.codecs = {"h264"};
    return hello;
}

} // namespace

TEST(USBLink, DirectModeCarriesControlAndVideoBothWaysIntact) {
    receiver::UsbDeviceServer device(deviceHello(), 0);
    std::mutex mutex;
    std::vector<StreamVideoFrame> frames;
    std::vector<ControlMessage> deviceReceived;
    device.onVideo = [&](const StreamVideoFrame& frame) {
        const std::lock_guard lock(mutex);
        frames.push_back(frame);
    };
    device.onControl = [&](const ControlMessage& message) {
        const std::lock_guard lock(mutex);
        deviceReceived.push_back(message);
    };
    device.start();

    UsbHost host(USBDeviceMonitor::Direct{"127.0.0.1", device.port()});
    host.monitor->start();
    ASSERT_TRUE(waitUntil([&] { return host.link() != nullptr; }, kDeadline));
    const auto link = host.link();
    EXPECT_EQ(link->remoteAddress(), "USB · SIMULATE");
    ASSERT_TRUE(waitUntil([&] { return host.receivedKind(ControlMessage::Case::hello); }, kDeadline))
        << "hello from the device";
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto status = host.lastStatus();
            return status && !status->first.empty() && status->first[0].state == USBDeviceStatus::State::connected;
        },
        kDeadline));

    link->sendControl(ControlMessage{Pause{}});
    link->beginVideo(1, 2);
    std::mt19937 rng(3);
    std::vector<EncodedFrame> sent;
    std::atomic<std::int64_t> completed{0};
    for (int i = 0; i < 100; ++i) {
        EncodedFrame frame{Bytes(100 + rng() % 200'000), i % 25 == 0, static_cast<std::uint64_t>(i)};
        for (auto& b : frame.data)
            b = static_cast<std::uint8_t>(rng());
        ASSERT_GT(link->sendVideo(frame, [&](std::int64_t bytes, bool) { completed += bytes; }), 0);
        sent.push_back(std::move(frame));
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::lock_guard lock(mutex);
            return frames.size() == sent.size();
        },
        kDeadline));
    const std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(frames[i].frameID, i);
        ASSERT_EQ(frames[i].isKeyframe, sent[i].isKeyframe);
        ASSERT_TRUE(frames[i].data == sent[i].data) << "frame " << i;
    }
    ASSERT_FALSE(deviceReceived.empty());
    EXPECT_EQ(deviceReceived.front(), ControlMessage{Pause{}});
    EXPECT_TRUE(waitUntil([&] { return link->takeMetrics().sendQueueBytes == 0; }, kDeadline));
}

TEST(USBLink, UsbmuxModeThroughAStandInDaemonReachesTheDeviceAppAlsoAfterTheDaemonRestarts) {
    const test::TempDir dir("kiv-usbmuxd-restart");
    const auto socket = (dir.path() / "usbmuxd").string();
    auto daemon = std::make_unique<test::FakeUsbmuxd>(socket);
    auto& usbmuxd = *daemon;
    ::setenv("KIV_USBMUXD_SOCKET", socket.c_str(), 1);
    receiver::UsbDeviceServer device(deviceHello(), 0);
    device.start();
    usbmuxd.setDevice(5, {"00008103-001122334455", true, 0, device.port()});
    KivLogStore::shared().clear();

    UsbHost host(std::nullopt, device.port());
    host.monitor->start();
    ASSERT_TRUE(waitUntil([&] { return usbmuxd.listenCount() == 1 && logged("Listening for USB devices (usbmuxd)"); },
                          kDeadline));
    usbmuxd.attach(5);
    ASSERT_TRUE(waitUntil([&] { return host.link() != nullptr; }, kDeadline))
        << KivLogStore::shared().text(LogLevel::debug);
    EXPECT_TRUE(logged("USB device attached 00008103 (product 4779)"));
    EXPECT_TRUE(logged("USB link established to 00008103 port " + std::to_string(device.port()) + " via usbmuxd"));
    EXPECT_EQ(usbmuxd.connectPorts().at(0), Usbmux::swappedPort(device.port()));
    ASSERT_TRUE(waitUntil([&] { return host.receivedKind(ControlMessage::Case::hello); }, kDeadline));

    // The daemon restarts (an update) under the link: the host listens again and the device, attached
    // anew, gets a new link.
    daemon.reset();
    ASSERT_TRUE(waitUntil([&] { return logged("usbmuxd listen connection lost, retrying"); }, kDeadline));
    daemon = std::make_unique<test::FakeUsbmuxd>(socket);
    auto& again = *daemon;
    again.setDevice(5, {"00008103-001122334455", true, 0, device.port()});
    ASSERT_TRUE(waitUntil([&] { return again.listenCount() == 1; }, kDeadline))
        << KivLogStore::shared().text(LogLevel::debug);
    const auto firstLink = host.link();
    again.attach(5);
    ASSERT_TRUE(waitUntil([&] { return host.link() != firstLink; }, kDeadline))
        << KivLogStore::shared().text(LogLevel::debug);
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto status = host.lastStatus();
            return status && status->first.size() == 1 && status->first[0].state == USBDeviceStatus::State::connected &&
                   !status->second;
        },
        kDeadline))
        << "the device is back and the service note gone";

    again.detach(5);
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto status = host.lastStatus();
            return status && status->first.empty();
        },
        kDeadline));
    EXPECT_TRUE(logged("USB device detached 00008103"));
    ::unsetenv("KIV_USBMUXD_SOCKET");
}

TEST(USBLink, RealUsbmuxdAcceptsListenReportsItsDisappearanceAndIsHeardAgainAfterARestart) {
    const auto program = test::findProgram("usbmuxd");
    if (!program) KIV_SKIP_OR_FAIL("usbmuxd is not installed (scripts/install-deps installs it)");
    if (::getuid() != 0) GTEST_SKIP() << "usbmuxd needs root to run here";
    const test::SystemLock daemonSocket("usbmuxd");
    ::unsetenv("KIV_USBMUXD_SOCKET");
    const std::filesystem::path socket = "/var/run/usbmuxd";
    if (std::filesystem::exists(socket) && test::runProgram({"idevice_id", "-l"}).exitCode == 0) {
        GTEST_SKIP() << "another usbmuxd already serves /var/run/usbmuxd";
    }
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);
    std::filesystem::remove("/run/usbmuxd.pid", ignored);
    test::TempDir dir;
    test::ProcessOptions options;
    options.argv = {*program, "-f", "-U", "root"};
    options.logFile = dir.path() / "usbmuxd.log";
    auto daemon = test::ChildProcess::start(options);
    ASSERT_TRUE(daemon.has_value());
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(socket); }, kDeadline)) << daemon->log();
    KivLogStore::shared().clear();

    UsbHost host(std::nullopt);
    host.monitor->start();
    ASSERT_TRUE(waitUntil([&] { return logged("Listening for USB devices (usbmuxd)"); }, kDeadline)) << daemon->log();
    const auto status = host.lastStatus();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(status->first.empty()) << "no device on this machine";
    EXPECT_FALSE(status->second.has_value());

    daemon->stop();
    std::filesystem::remove(socket, ignored);
    std::filesystem::remove("/run/usbmuxd.pid", ignored);
    ASSERT_TRUE(waitUntil([&] { return logged("usbmuxd listen connection lost, retrying"); }, kDeadline));
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto now = host.lastStatus();
            return now &&
                   now->second ==
                       "The USB service (usbmuxd) isn't available, so USB is temporarily off. Wi-Fi isn't affected.";
        },
        kDeadline));

    // Started again: the host listens again and the note goes.
    KivLogStore::shared().clear();
    auto restarted = test::ChildProcess::start(options);
    ASSERT_TRUE(restarted.has_value());
    ASSERT_TRUE(waitUntil([&] { return logged("Listening for USB devices (usbmuxd)"); }, kDeadline))
        << restarted->log();
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto now = host.lastStatus();
            return now && !now->second;
        },
        kDeadline));
    host.monitor->stop();
    restarted->stop();
    std::filesystem::remove(socket, ignored);
    std::filesystem::remove("/run/usbmuxd.pid", ignored);
}
