// The Wi-Fi path over real loopback sockets: control server, UDP video listener, Wi-Fi link and
// video sender on the host side; the receiver's client library as the device.
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <random>

#include "KivHostCore/Linux/AsioNetwork.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/LoopbackWiFiHost.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Transport/ControlServer.hpp"
#include "KivHostCore/Transport/UDPVideoListener.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"
#include "KivHostCore/Transport/WiFiTransport.hpp"
#include "KivReceiver/ReceiverClient.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::logged;
using test::LoopbackWiFiHost;
using test::waitUntil;

namespace {

constexpr auto kDeadline = 20s;

receiver::ReceiverConfig configFor(const LoopbackWiFiHost& host, std::string deviceID) {
    receiver::ReceiverConfig config;
    config.controlPort = host.server->port();
    config.hello.deviceID = std::move(deviceID);
    config.hello.deviceName = "Test Device";
    config.hello.codecs = {"h264"};
    config.hello.screen = ScreenInfo{2048, 1536, 2.0, Orientation::landscape};
    return config;
}

} // namespace

TEST(WiFiLoopback, HelloConnectKeepaliveAndThreeHundredFramesArriveExactAndInOrder) {
    LoopbackWiFiHost host;
    receiver::ReceiverClient client(configFor(host, "device-A"));
    std::mutex framesMutex;
    std::vector<ReassembledFrame> frames;
    client.onFrame = [&](const ReassembledFrame& frame, std::uint64_t) {
        const std::lock_guard lock(framesMutex);
        frames.push_back(frame);
    };
    std::atomic<int> closings{0};
    client.onClosed = [&](const std::string&) { ++closings; };
    client.start();
    client.send({RequestIDR{IDRReason::awaitingKeyframe}}); // before the connection is up: dropped

    ASSERT_TRUE(waitUntil([&] { return host.link(0) != nullptr; }, kDeadline));
    const auto link = host.link(0);
    ASSERT_TRUE(waitUntil([&] { return host.messagesFrom(link->id(), ControlMessage::Case::hello) == 1; }, kDeadline));
    EXPECT_EQ(host.messagesFrom(link->id(), ControlMessage::Case::requestIDR), 0);
    EXPECT_EQ(closings.load(), 0) << "an early send does not end the link being made";
    EXPECT_EQ(link->remoteAddress(), "127.0.0.1");

    ConnectInfo info;
    info.sessionID = 0x1234;
    info.videoKey = 0xFEEDFACECAFEBEEFull;
    info.videoPort = host.udp->port();
    info.token = std::string(64, 'a');
    link->beginVideo(info.sessionID, info.videoKey);
    link->sendControl(ControlMessage{info});
    ASSERT_TRUE(waitUntil([&] { return link->isVideoReady(); }, kDeadline))
        << "the client's keepalive attaches its flow";
    EXPECT_TRUE(logged("Video client attached 127.0.0.1"));

    SerialQueue videoQueue("kiv.video");
    auto monitor = std::make_shared<PerformanceMonitor>(videoQueue);
    auto sender = VideoSender::create(videoQueue, monitor);
    sender->setTransport(link);
    sender->updateBitrate(50'000'000);

    std::mt19937 rng(42);
    std::vector<EncodedFrame> sent;
    for (int i = 0; i < 300; ++i) {
        const bool key = i % 30 == 0;
        const std::size_t size = key ? 150'000 + rng() % 150'001 : 500 + rng() % 60'000;
        EncodedFrame frame{Bytes(size), key, static_cast<std::uint64_t>(1000 + i)};
        for (auto& b : frame.data)
            b = static_cast<std::uint8_t>(rng());
        sent.push_back(frame);
        sender->send(frame);
        // One frame at a time: the test checks delivery, not pacing under load.
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::lock_guard lock(framesMutex);
                return frames.size() > static_cast<std::size_t>(i);
            },
            kDeadline, 1ms))
            << "frame " << i << " never arrived";
    }
    const std::lock_guard lock(framesMutex);
    ASSERT_EQ(frames.size(), 300u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].frameID, i);
        ASSERT_EQ(frames[i].isKeyframe, sent[i].isKeyframe);
        ASSERT_EQ(frames[i].captureTimeUs, sent[i].captureTimeUs);
        ASSERT_TRUE(frames[i].data == sent[i].data) << "frame " << i << " differs";
        ASSERT_EQ(frames[i].framesLostBefore, 0);
    }
    const auto stats = client.stats();
    EXPECT_EQ(stats.packetsReceived, stats.packetsExpected) << "no datagram lost on loopback";
    EXPECT_EQ(monitor->sample().droppedSendFrames, 0);
    client.stop();
}

TEST(WiFiLoopback, MalformedControlStreamClosesOnlyItsOwnLink) {
    LoopbackWiFiHost host;
    receiver::ReceiverClient good(configFor(host, "good"));
    receiver::ReceiverClient bad(configFor(host, "bad"));
    std::atomic<bool> badClosed{false};
    bad.onClosed = [&](const std::string&) { badClosed = true; };
    good.start();
    ASSERT_TRUE(waitUntil([&] { return host.link(0) != nullptr; }, kDeadline));
    bad.start();
    ASSERT_TRUE(waitUntil([&] { return host.link(1) != nullptr; }, kDeadline));
    const auto goodLink = host.link(0);
    const auto badLink = host.link(1);
    ASSERT_TRUE(
        waitUntil([&] { return host.messagesFrom(badLink->id(), ControlMessage::Case::hello) == 1; }, kDeadline));

    bad.sendRaw(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00}); // a video item header far beyond 8 MiB
    ASSERT_TRUE(waitUntil([&] { return !badLink->isOpen(); }, kDeadline));
    EXPECT_TRUE(logged("Protocol error from 127.0.0.1"));
    ASSERT_TRUE(waitUntil([&] { return badClosed.load(); }, kDeadline)) << "the device sees its link end";

    good.send(ControlMessage{PingInfo{77}});
    ASSERT_TRUE(
        waitUntil([&] { return host.messagesFrom(goodLink->id(), ControlMessage::Case::ping) >= 1; }, kDeadline));
    EXPECT_TRUE(goodLink->isOpen());
    {
        const std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.closed, (std::vector<std::string>{badLink->id()}));
    }
    good.stop();
    bad.stop();
}

TEST(WiFiLoopback, ListenersReportTheirBoundPortsAndRefuseABusyPort) {
    LoopbackWiFiHost first;
    EXPECT_NE(first.server->port(), 0);
    EXPECT_NE(first.udp->port(), 0);
    AsioNetworkFactory network;
    const auto busy = network.makeStreamListener({first.server->port(), true});
    ASSERT_FALSE(busy.has_value()) << "a port in use cannot be taken twice";
    EXPECT_FALSE(busy.error().empty());
    EXPECT_FALSE(network.makeDatagramListener({first.udp->port(), true}).has_value())
        << "a second host must not silently share the video port";
}

TEST(WiFiLoopback, AFlowWhoseListenerClosedSendsNothingAndSaysSo) {
    AsioNetworkFactory network;
    SerialQueue queue("kiv.udp");
    auto listener = network.makeDatagramListener({0, true}).value();
    std::mutex mutex;
    std::shared_ptr<DatagramFlow> flow;
    listener->setNewFlowHandler([&](std::shared_ptr<DatagramFlow> opened) {
        const std::lock_guard lock(mutex);
        flow = std::move(opened);
    });
    listener->start(queue);
    asio::io_context io;
    asio::ip::udp::socket peer(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    const std::array<std::uint8_t, 4> hello{1, 2, 3, 4};
    const asio::ip::udp::endpoint target(asio::ip::address_v4::loopback(), listener->port());
    ASSERT_TRUE(waitUntil(
        [&] {
            peer.send_to(asio::buffer(hello), target);
            const std::lock_guard lock(mutex);
            return flow != nullptr;
        },
        kDeadline, 50ms));
    const Bytes datagram(100, 7);
    const std::vector<ByteView> batch{datagram, datagram};
    auto open = flow->sendBatch(batch);
    EXPECT_EQ(open.sentDatagrams, 2u);
    EXPECT_EQ(open.sentBytes, 200u);
    EXPECT_EQ(open.droppedDatagrams, 0u);

    listener->cancel();
    ASSERT_TRUE(waitUntil([&] { return listener->state() == ListenerState::cancelled; }, kDeadline));
    const auto closed = flow->sendBatch(batch);
    EXPECT_EQ(closed.sentDatagrams, 0u);
    EXPECT_EQ(closed.droppedDatagrams, 2u);
    EXPECT_TRUE(closed.error.has_value());
}
