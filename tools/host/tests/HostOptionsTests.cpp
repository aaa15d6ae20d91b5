// kivdisplay-host's command line and terminal lines: the frame rate it gives devices, what listens, the status.
#include <gtest/gtest.h>

#include "HostOptions.hpp"
#include "KivProtocol/RemoteText.hpp"

namespace {

using namespace kiv;

host::ParseResult parse(std::vector<const char*> args) {
    args.insert(args.begin(), "kivdisplay-host");
    HostSettings defaults;
    defaults.serviceName = "Host";
    return host::parseOptions(static_cast<int>(args.size()), args.data(), defaults);
}

TEST(HostOptions, FpsIsTheDefaultNewDevicesGetAndOnlyAutoThirtySixtyOrOneTwenty) {
    EXPECT_EQ(parse({}).options->settings.session.fps, 0) << "automatic unless asked";
    EXPECT_EQ(parse({"--fps", "60"}).options->settings.session.fps, 60);
    EXPECT_EQ(parse({"--fps", "30"}).options->settings.session.fps, 30);
    EXPECT_EQ(parse({"--fps", "120"}).options->settings.session.fps, 120);
    const auto wrong = parse({"--fps", "45"});
    EXPECT_FALSE(wrong.options);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(parse({"--help"}).output.find("--fps"), std::string::npos);
}

TEST(HostOptions, TheListeningLineSaysWhatIsReallyListening) {
    auto line = [](std::vector<const char*> args) {
        const auto s = parse(std::move(args)).options->settings;
        return host::listeningLine(s, 52010, 52011);
    };
    EXPECT_EQ(line({}), "Listening: control port 52010, video port 52011; USB devices through usbmuxd");
    EXPECT_EQ(line({"--no-usb", "--loopback-only"}), "Listening: control port 52010, video port 52011 (loopback only)");
    EXPECT_EQ(line({"--no-wifi"}), "Listening: USB devices through usbmuxd only (Wi-Fi off)");
    EXPECT_EQ(line({"--no-wifi", "--usb-direct", "127.0.0.1:6000"}),
              "Listening: USB: the device role at 127.0.0.1:6000 (direct) only (Wi-Fi off)");
    EXPECT_EQ(line({"--no-wifi", "--no-usb"}), "Listening: nothing (Wi-Fi and USB are both off)");
}

TEST(HostOptions, TheStatusLineSaysWhenADeviceMirrorsTheMainScreenInsteadOfExtendingIt) {
    HostService::Status status;
    status.service = HostStatus::Service::streaming();
    HostStatus device;
    device.clientName = "Tablet";
    device.service = HostStatus::Service::streaming();
    device.transport = TransportKind::wifi;
    device.configuration = DisplayConfiguration{};
    device.configuration->logicalWidth = 1920;
    device.configuration->logicalHeight = 1080;
    status.devices.push_back(device);
    EXPECT_EQ(host::statusLine(status).find("mirrored"), std::string::npos);
    status.devices[0].configuration->compatibilityNote = RemoteText::make(RemoteText::compatMirror);
    const auto line = host::statusLine(status);
    EXPECT_NE(line.find("Tablet via Wi-Fi 1920x1080 [An extended display couldn't be created on the host, so its main "
                        "screen is mirrored instead."),
              std::string::npos)
        << line;
}

} // namespace
