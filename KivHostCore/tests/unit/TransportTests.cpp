// Framed streams, Wi-Fi links, the UDP video listener and the control server over fake
// connections in virtual time.
#include <gtest/gtest.h>
#include <thread>

#include "KivHostCore/Testing/FakeNetwork.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/Signal.hpp"
#include "KivHostCore/Transport/ControlServer.hpp"
#include "KivHostCore/Transport/FramedStream.hpp"
#include "KivHostCore/Transport/LinkHandlers.hpp"
#include "KivHostCore/Transport/UDPVideoListener.hpp"
#include "KivHostCore/Transport/VideoRepeat.hpp"
#include "KivHostCore/Transport/WiFiTransport.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/FrameReassembler.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::countLogged;
using test::logged;

namespace {

Bytes frameOf(const ControlMessage& message) {
    return *ControlFraming::encode(message);
}

struct StreamHarness {
    ManualExecutor queue;
    std::shared_ptr<FakeConnection> connection;
    std::shared_ptr<FramedStream> stream;
    std::vector<StreamItem> items;
    int closed = 0;
    std::vector<std::string> reasons;

    explicit StreamHarness(ConnectionState initial = ConnectionState::setup)
        : connection(std::make_shared<FakeConnection>(std::nullopt, initial)),
          stream(FramedStream::create(connection, "192.168.1.20")) {
        KivLogStore::shared().clear();
        stream->onItem = [this](StreamItem item) { items.push_back(std::move(item)); };
        stream->onClosed = [this](const std::string& reason) {
            ++closed;
            reasons.push_back(reason);
        };
    }
};

} // namespace

TEST(FramedStream, StartsOrAdoptsTheConnectionAndReadsContinuously) {
    StreamHarness fresh;
    fresh.stream->start(fresh.queue);
    fresh.queue.runUntilIdle();
    EXPECT_EQ(fresh.connection->startCount, 1);
    ASSERT_TRUE(fresh.connection->hasPendingReceive());

    StreamHarness ready(ConnectionState::ready);
    ready.connection->adoptQueue(ready.queue);
    ready.stream->start(ready.queue);
    EXPECT_FALSE(ready.connection->hasPendingReceive()) << "reading begins on the queue, not inline";
    ready.queue.runUntilIdle();
    EXPECT_EQ(ready.connection->startCount, 0) << "an already-ready connection is not started again";
    ASSERT_TRUE(ready.connection->hasPendingReceive());

    ready.connection->deliver({});
    ready.queue.runUntilIdle();
    EXPECT_TRUE(ready.connection->hasPendingReceive()) << "an empty read simply reads again";
    const auto ping = frameOf({PingInfo{1}});
    ready.connection->deliver(Bytes(ping.begin(), ping.begin() + 5));
    ready.queue.runUntilIdle();
    EXPECT_TRUE(ready.items.empty());
    EXPECT_EQ(ready.stream->takeCounters().buffered, 5);
    ready.connection->deliver(Bytes(ping.begin() + 5, ping.end()));
    ready.queue.runUntilIdle();
    ASSERT_EQ(ready.items.size(), 1u);
    const auto counters = ready.stream->takeCounters();
    EXPECT_EQ(counters.bytesIn, static_cast<std::int64_t>(ping.size()) - 5)
        << "since the previous read of the counters";
    EXPECT_EQ(counters.buffered, 0);
    EXPECT_EQ(ready.stream->takeCounters().bytesIn, 0) << "counters reset when read";
}

TEST(FramedStream, FinalDataIsDeliveredBeforeTheStreamEndsOnce) {
    StreamHarness h;
    h.stream->start(h.queue);
    h.queue.runUntilIdle();
    h.connection->deliver(frameOf({Pause{}}), /*isComplete=*/true);
    h.queue.runUntilIdle();
    ASSERT_EQ(h.items.size(), 1u);
    EXPECT_EQ(h.connection->cancelCount, 1);
    EXPECT_EQ(h.closed, 1);
    EXPECT_TRUE(h.stream->isClosed());
    h.connection->setState(ConnectionState::failed);
    h.connection->setState(ConnectionState::cancelled);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.closed, 1) << "finish runs once";
    EXPECT_EQ(h.reasons, (std::vector<std::string>{"closed by the device"}));
    std::optional<NetworkError> outcome;
    h.stream->send(Bytes{1, 2, 3}, [&](const NetworkError& error) { outcome = error; });
    h.queue.runUntilIdle();
    EXPECT_EQ(h.connection->sent.size(), 0u) << "nothing is sent on a closed stream";
    ASSERT_TRUE(outcome) << "but the completion still runs, so in-flight counts settle";
    EXPECT_TRUE(outcome->has_value());
}

TEST(FramedStream, ProtocolErrorCancelsAndCloseAfterSendsTheMessageFirst) {
    StreamHarness bad;
    bad.stream->start(bad.queue);
    bad.queue.runUntilIdle();
    bad.connection->deliver(Bytes{0x00, 0x05, 0x00, 0x00, 0x7B}); // a control length above 256 KiB
    bad.queue.runUntilIdle();
    EXPECT_TRUE(logged("Protocol error from 192.168.1.20"));
    EXPECT_EQ(bad.closed, 1);
    EXPECT_EQ(bad.reasons, (std::vector<std::string>{"protocol error: messageTooLarge(327680)"}));

    // A device may send control only: a media header ends the link before its body is buffered.
    for (const auto& header : {Bytes{0x80, 0x7F, 0xFF, 0xFF}, Bytes{0x40, 0x03, 0xFF, 0xFF}}) {
        StreamHarness media;
        media.stream->start(media.queue);
        media.queue.runUntilIdle();
        media.connection->deliver(header);
        media.queue.runUntilIdle();
        EXPECT_EQ(media.closed, 1);
        EXPECT_EQ(media.stream->takeCounters().buffered, 0);
    }

    StreamHarness h;
    h.stream->start(h.queue);
    h.queue.runUntilIdle();
    h.stream->close(ControlMessage{Disconnect{"bye"}});
    h.queue.runUntilIdle();
    ASSERT_EQ(h.connection->sent.size(), 1u);
    EXPECT_EQ(h.connection->sent[0].data, frameOf({Disconnect{"bye"}}));
    EXPECT_EQ(h.connection->cancelCount, 0) << "not before the message left";
    h.connection->completeSend();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.connection->cancelCount, 1);
    EXPECT_EQ(h.closed, 1);
    EXPECT_EQ(h.reasons, (std::vector<std::string>{"closed by the host"}));
}

// A session moving to another link replaces the old link's handlers from the main thread while
// the old link may be calling one: after the setter returns the old handler never runs again.
TEST(LinkHandlers, AReplacedHandlerIsNotRunningOnceItsReplacementIsSet) {
    LinkHandlers handlers;
    test::Signal inside;
    test::Signal release;
    std::atomic<int> oldRuns{0};
    std::atomic<int> newRuns{0};
    handlers.control.set([&](const ControlMessage&) {
        ++oldRuns;
        inside.notify();
        release.waitFor();
    });
    std::thread link([&] { handlers.control(ControlMessage{Pause{}}); });
    ASSERT_TRUE(inside.waitFor());
    test::Signal replaced;
    std::thread session([&] {
        handlers.control.set([&](const ControlMessage&) { ++newRuns; });
        replaced.notify();
    });
    EXPECT_FALSE(replaced.waitFor(100ms)) << "the setter returned while the old handler was still running";
    release.notify();
    EXPECT_TRUE(replaced.waitFor());
    link.join();
    session.join();
    handlers.control(ControlMessage{Pause{}});
    EXPECT_EQ(oldRuns, 1);
    EXPECT_EQ(newRuns, 1);
    // Replacing itself from inside the handler does not wait for itself.
    handlers.closed.set([&](const std::string&) { handlers.closed.set(nullptr); });
    EXPECT_TRUE(handlers.closed("bye"));
    EXPECT_FALSE(handlers.closed("again"));
}

namespace {
struct WiFiHarness {
    ManualExecutor queue;
    FakeNetworkFactory network;
    std::shared_ptr<UDPVideoListener> listener = UDPVideoListener::create(network, queue, {52011, false});
    std::shared_ptr<FakeConnection> connection = std::make_shared<FakeConnection>();
    std::shared_ptr<WiFiTransport> link;
    int videoReady = 0;

    explicit WiFiHarness(double loss = 0) {
        KivLogStore::shared().clear();
        EXPECT_TRUE(listener->start().has_value());
        link = WiFiTransport::create(connection, listener, queue, loss);
        link->setOnVideoReady([this] { ++videoReady; });
        link->start(queue);
        queue.runUntilIdle();
    }

    std::shared_ptr<FakeDatagramFlow> openFlow(std::uint16_t port = 60000) {
        auto flow = std::make_shared<FakeDatagramFlow>(NetworkEndpoint::hostPort(IPv4Address{{192, 168, 1, 20}}, port));
        network.datagramListener->open(flow);
        queue.runUntilIdle();
        return flow;
    }

    void keepalive(FakeDatagramFlow& flow, std::uint32_t session, std::uint64_t key) {
        flow.deliver(VideoKeepalive{session, key}.encode());
        queue.runUntilIdle();
    }

    // A device's flow attached to the video identity (5, 50).
    std::shared_ptr<FakeDatagramFlow> attached() {
        link->beginVideo(5, 50);
        auto flow = openFlow();
        keepalive(*flow, 5, 50);
        return flow;
    }
    void fromDevice(const ControlMessage& message) {
        connection->deliver(*ControlFraming::encode(message));
        queue.runUntilIdle();
    }
    std::int64_t send(std::size_t bytes) {
        return link->sendVideo(EncodedFrame{Bytes(bytes, 7), false, 1}, [](std::int64_t, bool) {});
    }
};

ClientStats lossOf(double fraction) {
    ClientStats stats;
    stats.packetLoss = fraction;
    return stats;
}

std::vector<std::uint32_t> frameIDs(const FakeDatagramFlow& flow) {
    std::vector<std::uint32_t> ids;
    for (const auto& datagram : flow.sentDatagrams)
        ids.push_back(VideoPacketHeader::parse(datagram)->header.frameID);
    return ids;
}
} // namespace

TEST(WiFiTransport, KeepalivesAttachReplaceAndExpire) {
    WiFiHarness h;
    h.link->beginVideo(7, 99);
    auto first = h.openFlow(60000);
    EXPECT_FALSE(h.link->isVideoReady());
    h.keepalive(*first, 7, 99);
    EXPECT_EQ(h.videoReady, 1);
    EXPECT_TRUE(h.link->isVideoReady());
    EXPECT_TRUE(logged("Video client attached 192.168.1.20 (UDP)"));
    h.keepalive(*first, 7, 99);
    EXPECT_EQ(h.videoReady, 1) << "a keepalive on the same flow only refreshes";

    auto second = h.openFlow(60001);
    h.keepalive(*second, 7, 99);
    EXPECT_EQ(h.videoReady, 2);
    EXPECT_EQ(first->cancelCount, 1) << "the new flow replaces and cancels the old one";

    h.queue.advance(5s);
    EXPECT_TRUE(h.link->isVideoReady());
    h.queue.advance(1ms);
    EXPECT_FALSE(h.link->isVideoReady()) << "5.001 s after the last keepalive, before any watchdog";
}

TEST(WiFiTransport, AKeepaliveMatchedBeforeEndVideoCannotReadoptTheFlow) {
    WiFiHarness h;
    h.link->beginVideo(7, 99);
    auto flow = h.openFlow();
    h.link->endVideo();
    // The listener matched this keepalive against the registration just before endVideo ran.
    h.link->noteKeepalive(flow, 7, 99);
    EXPECT_EQ(h.videoReady, 0);
    EXPECT_FALSE(h.link->isVideoReady());
    h.link->beginVideo(7, 100);
    h.link->noteKeepalive(flow, 7, 99); // the old key, late
    EXPECT_EQ(h.videoReady, 0);
    h.keepalive(*flow, 7, 100);
    EXPECT_EQ(h.videoReady, 1);
}

TEST(WiFiTransport, DatagramsTheSocketCannotTakeAreDroppedAndReportedNotWaitedFor) {
    WiFiHarness h;
    h.link->beginVideo(5, 50);
    auto flow = h.openFlow();
    h.keepalive(*flow, 5, 50);
    flow->roomPerBatch = 2;
    std::vector<std::pair<std::int64_t, bool>> completions;
    const auto done = [&](std::int64_t bytes, bool complete) { completions.emplace_back(bytes, complete); };
    const auto sent = h.link->sendVideo(EncodedFrame{Bytes(5000), true, 1}, done);
    EXPECT_EQ(sent, 5000 + 5 * 28);
    EXPECT_EQ(flow->sentDatagrams.size(), 2u);
    EXPECT_EQ(completions, (std::vector<std::pair<std::int64_t, bool>>{{sent, false}}))
        << "counted, and marked incomplete";
    EXPECT_TRUE(logged("Video datagrams dropped: 3 of 5 (socket buffer full)"));

    flow->roomPerBatch = SIZE_MAX;
    h.link->sendVideo(EncodedFrame{Bytes(10), false, 2}, done);
    EXPECT_TRUE(completions.back().second);
}

TEST(WiFiTransport, WatchdogDetachesSilentClientsBetweenFiveAndSixSeconds) {
    WiFiHarness h;
    h.link->beginVideo(1, 2);
    auto flow = h.openFlow();
    h.queue.advance(400ms);
    h.keepalive(*flow, 1, 2);
    h.queue.advance(5s);
    EXPECT_EQ(flow->cancelCount, 0);
    h.queue.advance(1s);
    EXPECT_EQ(flow->cancelCount, 1);
    EXPECT_TRUE(logged("Video client keepalive timeout (no UDP keepalive for 5s)"));
    EXPECT_EQ(h.listener->registrationCount(), 1u) << "still registered: a new flow can attach again";
    auto again = h.openFlow(60002);
    h.keepalive(*again, 1, 2);
    EXPECT_EQ(h.videoReady, 2);
}

// The device reached the control port but no keepalive ever reaches the video port (UDP blocked):
// said once per registration, after the 5 s a flow may be silent, and not for a flow that came.
TEST(UDPVideoListener, ALinkWhoseVideoFlowNeverComesIsReportedOnce) {
    const std::string said = "No UDP video flow from ";
    WiFiHarness h;
    h.link->beginVideo(1, 2);
    h.queue.advance(4s);
    EXPECT_EQ(countLogged(said), 0);
    h.queue.advance(2s);
    EXPECT_EQ(countLogged(said), 1) << test::loggedLines(said);
    EXPECT_TRUE(test::logged("in 5 s, though it reached the control port: is UDP port 52011 let in (the firewall)?"));
    h.queue.advance(20s);
    EXPECT_EQ(countLogged(said), 1) << "once";
    h.keepalive(*h.openFlow(), 1, 2);
    EXPECT_EQ(h.videoReady, 1) << "a flow that comes later still attaches";

    h.link->beginVideo(1, 3); // a new session on the link: its flow comes at once
    h.keepalive(*h.openFlow(60001), 1, 3);
    h.queue.advance(10s);
    EXPECT_EQ(countLogged(said), 1) << test::loggedLines(said);
}

TEST(UDPVideoListener, FlowsThatNeverIdentifyThemselvesAreCancelledAfterThreeSeconds) {
    WiFiHarness h;
    h.link->beginVideo(1, 2);
    auto stranger = h.openFlow(60005);
    h.keepalive(*stranger, 1, 3); // wrong key
    h.keepalive(*stranger, 9, 2); // wrong session
    h.queue.advance(2'999ms);
    EXPECT_EQ(stranger->cancelCount, 0);
    h.queue.advance(1ms);
    EXPECT_EQ(stranger->cancelCount, 1);
    EXPECT_EQ(h.videoReady, 0);

    auto outside = std::make_shared<FakeDatagramFlow>(NetworkEndpoint::hostPort(IPv4Address{{8, 8, 8, 8}}, 1));
    h.network.datagramListener->open(outside);
    h.queue.runUntilIdle();
    EXPECT_EQ(outside->cancelCount, 1) << "non-local flows are cancelled at once";
}

TEST(WiFiTransport, VideoNumberingDependsOnTheIdentity) {
    WiFiHarness h;
    EXPECT_EQ(
        h.link->sendVideo(EncodedFrame{Bytes(10), true, 0}, [](std::int64_t, bool) { FAIL() << "no completion"; }), 0)
        << "no UDP client yet";
    {
        h.link->beginVideo(1, 1);
        auto early = h.openFlow(60009);
        h.keepalive(*early, 1, 1);
        EXPECT_EQ(h.link->sendVideo(EncodedFrame{Bytes(KivConstants::maxFrameSize + 1), true, 0},
                                    [](std::int64_t, bool) { FAIL() << "no completion"; }),
                  0)
            << "a frame the device's reassembler would give up on is refused";
        EXPECT_TRUE(early->sentDatagrams.empty());
    }
    h.link->beginVideo(5, 50);
    auto flow = h.openFlow();
    h.keepalive(*flow, 5, 50);
    std::int64_t completed = 0;
    const auto done = [&](std::int64_t bytes, bool) { completed += bytes; };
    EXPECT_EQ(h.link->sendVideo(EncodedFrame{Bytes(2000), true, 1}, done), 2000 + 2 * 28);
    h.link->beginVideo(5, 50); // identical repeat keeps numbering
    h.link->sendVideo(EncodedFrame{Bytes(10), false, 2}, done);
    h.link->beginVideo(5, 51); // new key restarts at 0; the old flow stays adopted until told otherwise
    h.link->sendVideo(EncodedFrame{Bytes(10), false, 3}, done);
    EXPECT_EQ(frameIDs(*flow), (std::vector<std::uint32_t>{0, 0, 1, 0}));
    EXPECT_EQ(flow->batches, 3u) << "one batch per frame";
    EXPECT_EQ(completed, 2056 + 38 + 38);
    EXPECT_EQ(h.link->takeMetrics().kind, TransportKind::wifi);
}

TEST(WiFiTransport, SimulatedLossWithholdsEverythingButCompletesAndCounts) {
    WiFiHarness h(1.0);
    h.link->beginVideo(5, 50);
    auto flow = h.openFlow();
    h.keepalive(*flow, 5, 50);
    std::int64_t completed = 0;
    h.queue.advance(1s);
    const auto sent =
        h.link->sendVideo(EncodedFrame{Bytes(5000), true, 1}, [&](std::int64_t bytes, bool) { completed += bytes; });
    EXPECT_EQ(sent, 5000 + 5 * 28);
    EXPECT_EQ(completed, sent);
    EXPECT_TRUE(flow->sentDatagrams.empty());
    h.queue.advance(1s);
    EXPECT_NEAR(h.link->takeMetrics().throughputMbps, sent * 8.0 / 2'000'000.0, 1e-9);
}

TEST(VideoRepeat, LargeFramesGoTwiceForTenSecondsAfterModerateLossIsReported) {
    VideoRepeat repeat;
    const MonotonicTime t0 = 100s;
    EXPECT_FALSE(repeat.repeats(1000, t0)) << "no loss heard";
    repeat.reportedLoss(0.005, t0);
    // At 0.5 %, 11 datagrams are lost one time in 19, 10 one time in 20.5.
    EXPECT_TRUE(repeat.repeats(11, t0));
    EXPECT_FALSE(repeat.repeats(10, t0));
    EXPECT_TRUE(repeat.repeats(400, t0));
    EXPECT_FALSE(repeat.repeats(401, t0)) << "two copies of a refinement would be a burst a device may not hold";
    repeat.reportedLoss(0.02, t0 + 1s);
    repeat.reportedLoss(0.001, t0 + 2s);
    repeat.reportedLoss(0, t0 + 3s);
    EXPECT_TRUE(repeat.repeats(3, t0 + 3s)) << "the worst report of the last 10 s holds; none lost clears nothing";
    EXPECT_TRUE(repeat.repeats(3, t0 + 11s));
    EXPECT_FALSE(repeat.repeats(3, t0 + 11s + 1us)) << "the worst is older than 10 s: the latest counts";
    EXPECT_TRUE(repeat.repeats(60, t0 + 11s + 1us));
    EXPECT_FALSE(repeat.repeats(1000, t0 + 12s + 1us)) << "10 s after the last loss";
    repeat.reportedLoss(0.08, t0 + 20s);
    EXPECT_FALSE(repeat.repeats(1000, t0 + 20s)) << "congested: copies would add to it";

    VideoRepeat asked; // a device that sends no figures but asks for keyframes after a loss
    asked.lostFrame(t0);
    EXPECT_TRUE(asked.repeats(11, t0));
    EXPECT_FALSE(asked.repeats(10, t0));
}

TEST(WiFiTransport, FramesGoTwiceWhileTheDeviceReportsLossAndOnlyThoseLikelyToBeLost) {
    WiFiHarness h;
    auto flow = h.attached();
    const auto count = [&](std::size_t bytes) {
        const auto before = flow->sentDatagrams.size();
        const auto sent = h.send(bytes);
        return std::pair{flow->sentDatagrams.size() - before, sent};
    };
    EXPECT_EQ(count(30 * 1172).first, 30u) << "no loss reported";
    h.fromDevice(ControlMessage{lossOf(0.01)});
    const auto [datagrams, bytes] = count(30 * 1172);
    EXPECT_EQ(datagrams, 60u);
    EXPECT_EQ(bytes, 2 * (30 * 1172 + 30 * 28)) << "the link carries both copies";
    EXPECT_EQ(count(1000).first, 1u) << "a small frame is seldom lost";
    for (int second = 0; second < 11; ++second) { // the device stays attached meanwhile
        h.queue.advance(1s);
        h.keepalive(*flow, 5, 50);
    }
    EXPECT_EQ(count(30 * 1172).first, 30u) << "11 s without loss";
    h.fromDevice(ControlMessage{RequestIDR{IDRReason::packetLoss}});
    EXPECT_EQ(count(30 * 1172).first, 60u) << "a keyframe asked for after a loss";
}

TEST(WiFiTransport, OnALossyLinkTheLastFrameBeforeStillnessGoesOnceMoreAndCompletesWhatWasLost) {
    WiFiHarness h;
    auto flow = h.attached();
    h.send(1000);
    h.queue.advance(200ms);
    EXPECT_EQ(flow->sentDatagrams.size(), 1u) << "no loss heard: nothing goes twice";

    h.fromDevice(ControlMessage{lossOf(0.01)});
    h.send(1000); // frame 1, followed 20 ms later by frame 2, the last before stillness
    h.queue.advance(20ms);
    h.send(2000);
    h.queue.advance(49ms);
    ASSERT_EQ(flow->sentDatagrams.size(), 4u);
    h.queue.advance(1ms);
    ASSERT_EQ(flow->sentDatagrams.size(), 6u) << "frame 2's two datagrams, 50 ms after it";
    h.queue.advance(200ms);
    EXPECT_EQ(flow->sentDatagrams.size(), 6u) << "frame 1 was followed: never copied";
    for (std::size_t i = 0; i < 2; ++i) {
        auto copy = VideoPacketHeader::parse(flow->sentDatagrams[4 + i])->header;
        const auto first = VideoPacketHeader::parse(flow->sentDatagrams[2 + i])->header;
        EXPECT_EQ(copy.packetSeq, 4 + i);
        copy.packetSeq = first.packetSeq;
        EXPECT_EQ(copy, first);
    }
    // A device that lost a datagram of frame 2's first copy gets the frame from the second.
    FrameReassembler device(5, 8, 1'000'000);
    std::vector<std::uint32_t> completed;
    for (const std::size_t i : {1u, 2u, 4u, 5u})
        if (auto frame = device.ingest(flow->sentDatagrams[i], 10)) completed.push_back(frame->frameID);
    EXPECT_EQ(completed, (std::vector<std::uint32_t>{1, 2}));

    h.send(30 * 1172); // likely lost at 1 %: sent twice at once, so no copy after
    h.queue.advance(100ms);
    EXPECT_EQ(flow->sentDatagrams.size(), 6u + 60u);
    h.send(500 * 1172); // too large to go twice at once (a refinement): its copy comes after
    EXPECT_EQ(flow->sentDatagrams.size(), 66u + 500u);
    h.queue.advance(50ms);
    EXPECT_EQ(flow->sentDatagrams.size(), 66u + 1000u);
}

TEST(WiFiTransport, ClosedLinkRefusesAudioAndEndsItsVideo) {
    WiFiHarness h;
    h.link->beginVideo(1, 1);
    bool called = false;
    EXPECT_TRUE(h.link->sendAudio(Bytes{1}, [&] { called = true; }));
    h.connection->completeSend();
    h.queue.runUntilIdle();
    EXPECT_TRUE(called);
    int closed = 0;
    h.link->setOnClosed([&](const std::string&) { ++closed; });
    h.connection->deliver({}, true);
    h.queue.runUntilIdle();
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(h.link->isOpen());
    EXPECT_EQ(h.listener->registrationCount(), 0u) << "closing ends the video registration";
    EXPECT_FALSE(h.link->sendAudio(Bytes{1}, [] { FAIL() << "no completion on a closed link"; }));
}

TEST(ControlServer, AcceptsLocalPeersOnlyAndReportsListenerTrouble) {
    ManualExecutor queue;
    FakeNetworkFactory network;
    KivLogStore::shared().clear();
    auto server = ControlServer::create(network, queue, queue, {0, true});
    std::vector<std::shared_ptr<WiFiTransport>> links;
    std::string failure;
    server->onTransport = [&](std::shared_ptr<WiFiTransport> link) { links.push_back(std::move(link)); };
    server->onListenerFailed = [&](const std::string& error) { failure = error; };
    ASSERT_TRUE(server->start().has_value());

    auto outsider = std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{{203, 0, 113, 9}}, 4000));
    network.streamListener->connect(outsider);
    queue.runUntilIdle();
    EXPECT_TRUE(links.empty());
    EXPECT_EQ(outsider->cancelCount, 1);
    EXPECT_TRUE(logged("Rejected non-LAN connection 203.0.113.9"));

    network.streamListener->connect(std::make_shared<FakeConnection>());
    queue.runUntilIdle();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0]->remoteAddress(), "192.168.1.20");
    EXPECT_TRUE(logged("Incoming control connection from 192.168.1.20"));

    queue.advance(5s);
    EXPECT_TRUE(logged("Control listener not ready after 5s (state=setup)，iPad 将无法连接"));
    network.streamListener->report(ListenerState::failed, "boom");
    queue.runUntilIdle();
    EXPECT_EQ(failure, "boom");
    EXPECT_TRUE(logged("Control listener failed: boom"));

    FakeNetworkFactory busy;
    busy.failListeners = true;
    EXPECT_EQ(ControlServer::create(busy, queue, queue, {})->start().error(), "address in use");
}

// Silent links are capped per address and in all, but a new link is never turned away for them:
// the oldest silent one makes room, so a device at an address where something keeps connecting
// and saying nothing still gets in.
TEST(ControlServer, SilentLinksAreCappedPerAddressAndInAllByClosingTheOldest) {
    ManualExecutor queue;
    FakeNetworkFactory network;
    KivLogStore::shared().clear();
    auto server = ControlServer::create(network, queue, queue, {0, true});
    std::vector<std::shared_ptr<WiFiTransport>> links;
    server->onTransport = [&](std::shared_ptr<WiFiTransport> link) {
        link->start(queue);
        links.push_back(std::move(link));
    };
    ASSERT_TRUE(server->start().has_value());
    const auto from = [](std::uint8_t host) {
        return std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{{192, 168, 1, host}}, 4000));
    };
    std::vector<std::shared_ptr<FakeConnection>> connections;
    const auto connect = [&](std::uint8_t host) {
        connections.push_back(from(host));
        network.streamListener->connect(connections.back());
        queue.runUntilIdle();
        return connections.back();
    };
    for (int i = 0; i < 4; ++i)
        connect(20);
    const auto fifth = connect(20);
    EXPECT_EQ(links.size(), 5u) << "admitted";
    EXPECT_EQ(fifth->cancelCount, 0);
    EXPECT_GE(connections[0]->cancelCount, 1) << "the oldest silent link from that address made room";
    EXPECT_EQ(connections[1]->cancelCount, 0);
    EXPECT_TRUE(logged("Closed the oldest silent link, from 192.168.1.20, for a connection from 192.168.1.20: 4 "
                       "links from it and 4 in all had not said anything yet"));

    // A link that spoke, or closed, no longer counts: the next one closes nothing.
    connections[1]->deliver(frameOf({PingInfo{1}}));
    queue.runUntilIdle();
    connect(20);
    EXPECT_EQ(connections[2]->cancelCount, 0);
    EXPECT_EQ(connections[1]->cancelCount, 0) << "a link that spoke is never closed for room";

    // Four are silent now (2, 3, 4 and the last); fill up to the total from other addresses.
    for (std::size_t i = 0; i < ControlServer::kMaxSilentLinks - 4; ++i)
        connect(static_cast<std::uint8_t>(30 + i));
    for (const auto& c : connections)
        EXPECT_TRUE(c == connections[0] || c->cancelCount == 0) << "below the caps nothing is closed";
    const auto overflow = connect(200);
    EXPECT_EQ(overflow->cancelCount, 0);
    EXPECT_GE(connections[2]->cancelCount, 1) << "the total cap closes the oldest silent link of any address";
}

TEST(ControlServer, NewLinksFromOneAddressAreLimitedPerSecondAndEachRefusalCauseIsLoggedOncePerMinute) {
    ManualExecutor queue;
    FakeNetworkFactory network;
    KivLogStore::shared().clear();
    auto server = ControlServer::create(network, queue, queue, {0, true});
    std::size_t links = 0;
    server->onTransport = [&](std::shared_ptr<WiFiTransport>) { ++links; };
    ASSERT_TRUE(server->start().has_value());
    const auto connect = [&](std::array<std::uint8_t, 4> address) {
        auto connection = std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{address}, 4000));
        network.streamListener->connect(connection);
        queue.runUntilIdle();
        return connection;
    };
    for (std::size_t i = 0; i < NewLinkRate::kPerSecond; ++i)
        EXPECT_EQ(connect({192, 168, 1, 20})->cancelCount, 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_GE(connect({192, 168, 1, 20})->cancelCount, 1) << "one too many within the second";
    EXPECT_EQ(connect({192, 168, 1, 21})->cancelCount, 0) << "another address is not held back";
    EXPECT_EQ(links, NewLinkRate::kPerSecond + 1);
    EXPECT_EQ(countLogged("Refused a connection from 192.168.1.20: more than 10 new links from it within a second"), 1);
    queue.advance(1s);
    EXPECT_EQ(connect({192, 168, 1, 20})->cancelCount, 0) << "a second later";

    // A flood from outside the local network: one line a minute, the next one counting the rest.
    for (int i = 0; i < 50; ++i)
        connect({8, 8, 8, 8});
    EXPECT_EQ(countLogged("Rejected non-LAN connection 8.8.8.8"), 1);
    queue.advance(60s);
    connect({8, 8, 8, 8});
    EXPECT_TRUE(logged("Rejected non-LAN connection 8.8.8.8 (49 more since the last such line)"));
}
