// usbmux packets and the USB device monitor's state machine, in virtual time.
#include <gtest/gtest.h>

#include "KivHostCore/Testing/FakeNetwork.hpp"
#include "KivHostCore/Testing/FakeUsbmuxService.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Transport/PropertyList.hpp"
#include "KivHostCore/Transport/USBDeviceMonitor.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using State = USBDeviceStatus::State;
using ListenResult = UsbmuxService::ListenResult;

namespace {

UsbmuxEvent attached(std::int64_t id, std::string udid) {
    return UsbmuxEvent{UsbmuxEvent::Kind::attached, USBDeviceInfo{id, std::move(udid), 0x12AB}, 0};
}

struct Harness {
    ManualExecutor queue;
    FakeUsbmuxService usbmux;
    FakeNetworkFactory network;
    std::shared_ptr<USBDeviceMonitor> monitor;
    std::vector<std::pair<std::vector<USBDeviceStatus>, std::optional<std::string>>> statuses;
    std::vector<std::shared_ptr<USBTransport>> links;

    explicit Harness(USBDeviceMonitor::Mode mode = std::nullopt) {
        KivLogStore::shared().clear();
        monitor = USBDeviceMonitor::create(mode, 52012, usbmux, network, queue, queue);
        monitor->onStatus = [this](const auto& list, const auto& error) { statuses.emplace_back(list, error); };
        monitor->onTransport = [this](std::shared_ptr<USBTransport> link) { links.push_back(std::move(link)); };
        monitor->start();
        queue.runUntilIdle();
    }
    void listening() {
        usbmux.answerListen(ListenResult::listening, std::make_shared<FakeConnection>());
        queue.runUntilIdle();
    }
    State stateOf(std::int64_t id) {
        for (const auto& status : statuses.back().first) {
            if (status.device.muxID == id) return status.state;
        }
        ADD_FAILURE() << "no device " << id;
        return State::checking;
    }
};

} // namespace

TEST(Usbmux, PacketEncodingLengthsAndEvents) {
    const auto packet = Usbmux::encode({{"MessageType", StoredValue{std::string("Listen")}}}, 1);
    ASSERT_GT(packet.size(), 16u);
    EXPECT_EQ(Usbmux::packetLength(packet), packet.size());
    EXPECT_EQ((Bytes(packet.begin() + 4, packet.begin() + 16)), (Bytes{1, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0}));
    const auto body = PropertyList::decode(ByteView(packet).subspan(16));
    ASSERT_TRUE(body && body->dictionary());
    const auto& dict = *body->dictionary();
    EXPECT_EQ(*dict.at("ClientVersionString").text(), "KivDisplay");
    EXPECT_EQ(*dict.at("ProgName").text(), "KivDisplay");
    EXPECT_EQ(dict.at("kLibUSBMuxVersion"), StoredValue{std::int64_t{3}});
    EXPECT_EQ(*dict.at("MessageType").text(), "Listen");

    EXPECT_EQ(Usbmux::packetLength(Bytes{16, 0, 0, 0}), 16u);
    EXPECT_FALSE(Usbmux::packetLength(Bytes{15, 0, 0, 0}));
    EXPECT_FALSE(Usbmux::packetLength(Bytes{0, 0, 0x40, 0})) << "4 MiB is too long";
    EXPECT_EQ(Usbmux::packetLength(Bytes{0xFF, 0xFF, 0x3F, 0}), 0x3FFFFFu);
    EXPECT_EQ(Usbmux::swappedPort(0x1B58), 0x581B);

    const auto props = [](StoredDictionary extra) {
        StoredDictionary p{{"ConnectionType", StoredValue{std::string("USB")}},
                           {"SerialNumber", StoredValue{std::string("00008103-ABCDEF")}}};
        for (auto& [k, v] : extra)
            p[k] = v;
        return StoredValue{p};
    };
    const StoredValue attachedType{std::string("Attached")};
    EXPECT_EQ(Usbmux::event(
                  {{"MessageType", attachedType}, {"Properties", props({{"DeviceID", StoredValue{std::int64_t{5}}}})}}),
              (UsbmuxEvent{UsbmuxEvent::Kind::attached, USBDeviceInfo{5, "00008103-ABCDEF", std::nullopt}, 0}))
        << "DeviceID only inside Properties still counts";
    EXPECT_EQ(Usbmux::event({{"MessageType", attachedType},
                             {"DeviceID", StoredValue{std::int64_t{5}}},
                             {"Properties", props({{"ConnectionType", StoredValue{std::string("Network")}}})}})
                  .kind,
              UsbmuxEvent::Kind::other);
    EXPECT_EQ(Usbmux::event(
                  {{"MessageType", attachedType},
                   {"DeviceID", StoredValue{std::int64_t{5}}},
                   {"Properties", StoredValue{StoredDictionary{{"ConnectionType", StoredValue{std::string("USB")}}}}}})
                  .kind,
              UsbmuxEvent::Kind::other)
        << "no serial number";
    EXPECT_EQ(Usbmux::event(
                  {{"MessageType", StoredValue{std::string("Detached")}}, {"DeviceID", StoredValue{std::int64_t{5}}}}),
              (UsbmuxEvent{UsbmuxEvent::Kind::detached, {}, 5}));
    EXPECT_EQ(Usbmux::event({}).kind, UsbmuxEvent::Kind::other);
    EXPECT_EQ((USBDeviceInfo{1, "00008103-ABCDEF", {}}.shortID()), "00008103");
}

// Replies the fuzzer found that aborted the process inside libplist: a string with a NUL in it,
// and a malformed binary list (usbmuxd answers an XML client in XML, so binary is refused).
TEST(Usbmux, RepliesThatAbortedThePlistLibraryAreReadOrRefused) {
    const std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                                        "<key>MessageType</key><string>Att") +
                            '\0' + "ached</string></dict></plist>";
    const auto body = Usbmux::decodeBody(ByteView(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    ASSERT_TRUE(body);
    EXPECT_EQ(body->at("MessageType").text()->size(), 9u) << "the NUL kept, the rest read";
    EXPECT_EQ(Usbmux::event(*body).kind, UsbmuxEvent::Kind::other);

    Bytes binary{'b', 'p', 'l', 'i', 's', 't', '0', '0', 'I', 'I', 'I', 0, 0, 0, 0};
    binary.resize(64, 'I');
    EXPECT_FALSE(Usbmux::decodeBody(binary));
}

TEST(USBDeviceMonitor, ServiceErrorsAreReportedOnceAndRetried) {
    Harness h;
    ASSERT_EQ(h.usbmux.listens.size(), 1u);
    h.usbmux.answerListen(ListenResult::unavailable);
    h.queue.runUntilIdle();
    const std::string missing =
        "The USB service (usbmuxd) isn't available, so USB is temporarily off. Wi-Fi isn't affected.";
    EXPECT_EQ(h.statuses.back().second, missing);
    h.queue.advance(4'999ms);
    EXPECT_TRUE(h.usbmux.listens.empty());
    h.queue.advance(1ms);
    ASSERT_EQ(h.usbmux.listens.size(), 1u) << "retried after 5 s";
    h.usbmux.answerListen(ListenResult::unavailable);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("isn't available"), 1) << "the same error is not logged again";
    h.queue.advance(5s);
    h.listening();
    EXPECT_EQ(test::countLogged("usbmuxd available again"), 1);
    EXPECT_EQ(test::countLogged("Listening for USB devices (usbmuxd)"), 1);
    EXPECT_FALSE(h.statuses.back().second.has_value());
}

TEST(USBDeviceMonitor, TrustIsRecheckedQuietlyUntilGivenThenConnectingStarts) {
    Harness h;
    h.listening();
    h.usbmux.pushEvent(attached(7, "00008103-AAAAAAAA"));
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("USB device attached 00008103 (product 4779)"), 1);
    EXPECT_EQ(h.stateOf(7), State::checking);
    h.usbmux.answerPair(false);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.stateOf(7), State::untrusted);
    // The first tick re-asks at once (never asked from the tick before), then every 3 s.
    h.queue.advance(200ms);
    ASSERT_EQ(h.usbmux.pairQuestions.size(), 1u);
    h.usbmux.answerPair(false);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("has not trusted this Mac"), 1) << "one warning per entry into untrusted";
    h.queue.advance(2s);
    EXPECT_TRUE(h.usbmux.pairQuestions.empty());
    h.queue.advance(1s);
    ASSERT_EQ(h.usbmux.pairQuestions.size(), 1u);
    h.usbmux.answerPair(true);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("USB device 00008103 trusted this Mac"), 1);
    EXPECT_EQ(h.stateOf(7), State::waitingForApp);
    ASSERT_EQ(h.usbmux.connects.size(), 1u) << "connecting starts right after";
    EXPECT_EQ(h.usbmux.connects.front().first, (std::pair<std::int64_t, std::uint16_t>{7, 52012}));
}

TEST(USBDeviceMonitor, ConnectFailuresLogOncePerCodeAndRetryEveryTwoSeconds) {
    Harness h;
    h.listening();
    h.usbmux.pushEvent(attached(3, "ABCDEF0123456789"));
    h.queue.runUntilIdle();
    h.usbmux.answerPair(true);
    h.queue.runUntilIdle();
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(h.usbmux.connects.size(), 1u) << "attempt " << attempt;
        h.usbmux.answerConnect(nullptr, 3);
        h.queue.advance(1s);
        EXPECT_TRUE(h.usbmux.connects.empty());
        h.queue.advance(1s);
    }
    EXPECT_EQ(test::countLogged("KivDisplay not running in foreground on iPad, retrying every 2s"), 1);
    h.usbmux.answerConnect(nullptr, 2);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("usbmux reports bad device"), 1);
    h.queue.advance(2s);
    h.usbmux.answerConnect(nullptr, std::nullopt);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("connect failed (code -)"), 1);
    h.queue.advance(2s);
    h.usbmux.answerConnect(nullptr, std::nullopt);
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("connect failed (code -)"), 1) << "silent while the last result was already none";

    h.queue.advance(2s);
    h.usbmux.answerConnect(std::make_shared<FakeConnection>(std::nullopt, ConnectionState::ready), 0);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.stateOf(3), State::connected);
    ASSERT_EQ(h.links.size(), 1u);
    EXPECT_EQ(h.links[0]->remoteAddress(), "USB · ABCDEF01");
    EXPECT_EQ(test::countLogged("USB link established to ABCDEF01 port 52012 via usbmuxd"), 1);
}

TEST(USBDeviceMonitor, StatusIsPublishedOnlyOnChangeAndLostServiceForgetsDevices) {
    Harness h;
    h.listening();
    const auto published = h.statuses.size();
    h.usbmux.pushEvent(attached(2, "0000000022222222"));
    h.queue.runUntilIdle();
    h.usbmux.pushEvent(attached(2, "0000000022222222")); // known: ignored
    h.queue.runUntilIdle();
    EXPECT_EQ(h.statuses.size(), published + 1);
    h.usbmux.pushEvent(UsbmuxEvent{}); // other
    h.queue.runUntilIdle();
    EXPECT_EQ(h.statuses.size(), published + 1) << "identical statuses are delivered once";

    h.usbmux.pushEvent(std::nullopt); // the service went away
    h.queue.runUntilIdle();
    EXPECT_EQ(test::countLogged("usbmuxd listen connection lost, retrying"), 1);
    EXPECT_TRUE(h.statuses.back().first.empty());
    h.queue.advance(999ms);
    EXPECT_TRUE(h.usbmux.listens.empty());
    h.queue.advance(1ms);
    EXPECT_EQ(h.usbmux.listens.size(), 1u) << "listening again after 1 s";
}

TEST(USBDeviceMonitor, DirectModeSimulatesOneDeviceThatConnectsAtOnce) {
    Harness h(USBDeviceMonitor::Direct{"127.0.0.1", 45678});
    EXPECT_EQ(test::countLogged("USB test mode: direct connect to 127.0.0.1:45678 (no usbmuxd)"), 1);
    h.queue.advance(200ms);
    ASSERT_EQ(h.network.outgoing.size(), 1u);
    EXPECT_EQ(h.network.outgoing[0].first, "127.0.0.1:45678");
    h.queue.runUntilIdle();
    ASSERT_EQ(h.links.size(), 1u);
    EXPECT_EQ(h.links[0]->device().udid, "SIMULATED-USB-45678");
    EXPECT_EQ(h.links[0]->device().muxID, 1);
    EXPECT_EQ(h.stateOf(1), State::connected);

    // Video off: nothing is sent and the frame number does not move.
    EXPECT_EQ(h.links[0]->sendVideo(EncodedFrame{Bytes(10), true, 0}, [](std::int64_t, bool) {}), 0);
    h.links[0]->start(h.queue);
    int ready = 0;
    h.links[0]->setOnVideoReady([&] { ++ready; });
    h.links[0]->beginVideo(0, 0);
    h.links[0]->beginVideo(0, 0);
    EXPECT_EQ(ready, 0) << "reported on the link's queue, never inside beginVideo";
    h.queue.runUntilIdle();
    EXPECT_EQ(ready, 1);
    // A frame the device's reader would refuse is not sent (it would end the link) and not numbered.
    EXPECT_EQ(
        h.links[0]->sendVideo(EncodedFrame{Bytes(StreamFraming::kMaxVideoBody), true, 5}, [](std::int64_t, bool) {}),
        0);
    std::vector<bool> outcomes;
    EXPECT_EQ(h.links[0]->sendVideo(EncodedFrame{Bytes(10), true, 5},
                                    [&](std::int64_t, bool complete) { outcomes.push_back(complete); }),
              27);
    const auto sent = h.network.outgoing[0].second->sentBytes();
    EXPECT_EQ((Bytes(sent.begin(), sent.begin() + 9)), (Bytes{0x80, 0, 0, 0x17, 1, 0, 0, 0, 0})) << "frame number 0";
    EXPECT_EQ(h.links[0]->takeMetrics().sendQueueBytes, 27);

    h.monitor->stop();
    EXPECT_FALSE(h.links[0]->isOpen() && h.network.outgoing[0].second->cancelCount == 0) << "stop closes the links";
    h.queue.runUntilIdle();
    EXPECT_EQ(outcomes, (std::vector<bool>{false})) << "the unsent frame completes, as not delivered";
    EXPECT_EQ(h.links[0]->takeMetrics().sendQueueBytes, 0) << "and leaves nothing counted in flight";
}

TEST(Usbmux, ADaemonThatNeverAnswersAndADeviceThatNeverConnectsFailWithinThreeSeconds) {
    ManualExecutor queue;
    FakeNetworkFactory network;
    DaemonUsbmuxService service(network);
    std::vector<std::optional<std::int64_t>> results;
    service.connect(7, 52012, queue, [&](std::shared_ptr<Connection> tunnel, std::optional<std::int64_t> code) {
        EXPECT_EQ(tunnel, nullptr);
        results.push_back(code);
    });
    queue.runUntilIdle();
    ASSERT_EQ(network.outgoing.size(), 1u);
    EXPECT_EQ(network.outgoing[0].second->sent.size(), 1u) << "the Connect request went out";
    queue.advance(Usbmux::kReplyTimeout - 1us);
    EXPECT_TRUE(results.empty());
    queue.advance(1us);
    EXPECT_EQ(results, (std::vector<std::optional<std::int64_t>>{std::nullopt}));
    EXPECT_GE(network.outgoing[0].second->cancelCount, 1);

    // Direct mode: the device's port never answers; the attempt ends and is made again.
    Harness h(USBDeviceMonitor::Direct{"127.0.0.1", 45678});
    h.network.outgoingState = ConnectionState::preparing;
    h.queue.advance(200ms);
    ASSERT_EQ(h.network.outgoing.size(), 1u);
    h.queue.advance(Usbmux::kOpenTimeout);
    EXPECT_EQ(h.network.outgoing[0].second->cancelCount, 1);
    EXPECT_EQ(h.stateOf(1), State::waitingForApp);
    h.queue.advance(1s);
    EXPECT_EQ(h.network.outgoing.size(), 2u) << "tried again, not stuck connecting";
}
