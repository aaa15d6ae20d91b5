// The whole host against real services: a private Xvfb whose RandR monitors are the devices'
// displays, MIT-SHM capture, libx264, loopback sockets, and the receiver library as the device
// (Wi-Fi client and USB device role), decoding what it gets with libavcodec.
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "HostFixture.hpp"
#include "KivHostCore/Testing/FakeUsbmuxd.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"

namespace {

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
    // A run that crashed while it held the output silenced: the next start undoes it (the device is
    // gone here, so only the note goes).
    const auto config = home.path() / "config" / "kivdisplay" / "kivdisplay-host.json";
    std::filesystem::create_directories(config.parent_path());
    std::ofstream(config) << R"({"kiv.audio.mutedDevice": {"uid": "speakers", "volume": 0.5}})";
    auto started = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(started) << started.error();
    auto& host = started->process;
    const auto control = started->controlPort;

    WiFiDevice device(helloFor("process-0004", "CI iPad"), control);
    ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline)) << host.log();
    EXPECT_TRUE(waitUntil([&] { return device.seen.meanLuma().has_value(); }, kDeadline)) << "a decoded picture";
    std::stringstream stored;
    stored << std::ifstream(config).rdbuf();
    EXPECT_EQ(stored.str().find("kiv.audio.mutedDevice"), std::string::npos) << stored.str();
    EXPECT_NE(stored.str().find("hostID"), std::string::npos) << "the rest of the settings stay";
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 1);

    const int status = host.stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << host.log();
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 0) << "no KivDisplay monitor left";
    EXPECT_NE(host.log().find("status: streaming"), std::string::npos) << host.log();
}

} // namespace

// A session released while the host stops used to be destroyed from the main loop's queue after
// the service (and the queues it uses) had gone: a crash on SIGTERM in about one stop in three.
TEST(HostProcess, ExitsCleanlyOnSigtermAfterSessionsComeAndGoEveryTime) {
    auto xvfb = test::XvfbServer::start();
    if (!xvfb) GTEST_SKIP() << xvfb.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    for (int run = 0; run < 5; ++run) {
        test::TempDir home("kiv-host-home");
        auto started = HostProcess::start((*xvfb)->display(), home.path(), {"--approve-all", "--grace", "0"});
        ASSERT_TRUE(started) << started.error();
        auto& host = started->process;
        auto hello = helloFor("sigterm-0005", "Coming and going");
        for (int visit = 0; visit < 2; ++visit) {
            WiFiDevice device(hello, started->controlPort);
            ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline))
                << host.log();
            hello.token = device.seen.connects().front().token;
        }
        // The last device has just gone: its session is being released as the host stops.
        const int status = host.stop(20s);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": " << status << "\n" << host.log();
    }
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 0);
}
