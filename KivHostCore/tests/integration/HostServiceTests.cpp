// The whole host against real services: a private Xvfb whose RandR monitors are the devices'
// displays, MIT-SHM capture, libx264, loopback sockets, and the receiver library as the device
// (Wi-Fi client and USB device role), decoding what it gets with libavcodec.
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
    EXPECT_TRUE(showsLuma(b.seen, right, 0x404040, 40, 110))
        << "the right device sees its grey monitor, not the white one";
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
    EXPECT_TRUE(showsLuma(usb->seen, *monitorOf("switch-0003"), 0xFFFFFF, 200, 255))
        << "video arrives over the USB link";
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

} // namespace
