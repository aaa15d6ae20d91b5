// The session core's decisions in virtual time: admission and its refusals, the display gate,
// capture recovery, link hold, switching and grace; and the host service's pending links, folding
// and idle release. Displays, capture and encoding are fakes; links are recording fakes.
#include <gtest/gtest.h>
#include <set>

#include "KivHostCore/Testing/FakeNetwork.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "SessionHarness.hpp"

namespace {

TEST(SessionAdmission, EachRefusalSendsItsReasonAndClosesTheLink) {
    struct Case {
        const char* name;
        std::function<void(SessionHarness&, Hello&)> arrange;
        RejectReason reason;
    };
    const std::vector<Case> cases{
        {"old protocol", [](SessionHarness&, Hello& h) { h.protocolVersion = 4; }, RejectReason::versionMismatch},
        {"no approval handler", [](SessionHarness& h, Hello&) { h.session->approvalHandler = nullptr; },
         RejectReason::denied},
        {"user refuses",
         [](SessionHarness& h, Hello&) {
             h.session->approvalHandler = [](const PeerRequest&, DisplaySession::ApprovalReply r) { r(false); };
         },
         RejectReason::denied},
        {"screen unreadable", [](SessionHarness& h, Hello&) { h.platform.screenGranted = false; },
         RejectReason::permissionMissing},
        {"no encoder", [](SessionHarness& h, Hello&) { h.platform.encoders.refuse = true; },
         RejectReason::internalError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionHarness h;
        auto hello = helloFrom("device-1");
        c.arrange(h, hello);
        auto link = h.link();
        h.hello(*h.session, link, hello);
        EXPECT_EQ(rejected(*link), c.reason);
        EXPECT_FALSE(h.session->hasActiveClient());
        EXPECT_EQ(count(*link, ControlMessage::Case::connect), 0);
        if (c.reason == RejectReason::versionMismatch) {
            EXPECT_TRUE(logged("Protocol version mismatch: client 4 host 5"));
        }
    }
}

TEST(SessionAdmission, PairingRequestApprovedConnectsAndAPairedDeviceSkipsTheQuestion) {
    SessionHarness h;
    auto first = h.admit();
    EXPECT_EQ(count(*first, ControlMessage::Case::pairingPending), 1);
    ASSERT_EQ(count(*first, ControlMessage::Case::connect), 1);
    EXPECT_EQ(h.asked.size(), 1u);
    EXPECT_EQ(h.session->status().service.kind, HostStatus::Service::Kind::streaming);
    EXPECT_TRUE(h.session->status().displayID.has_value());
    const auto token = h.tokenOf(*first);
    EXPECT_EQ(token.size(), 64u);

    // A token-less hello of a paired device is a new pairing request; approving keeps the token.
    h.session->disconnectClient();
    auto noToken = h.admit();
    EXPECT_EQ(count(*noToken, ControlMessage::Case::pairingPending), 1);
    EXPECT_EQ(h.tokenOf(*noToken), token);

    h.session->disconnectClient();
    auto paired = h.admit(token);
    EXPECT_EQ(count(*paired, ControlMessage::Case::pairingPending), 0);
    EXPECT_EQ(count(*paired, ControlMessage::Case::connect), 1);
    EXPECT_EQ(h.asked.size(), 2u);
}

TEST(SessionAdmission, ASecondLinkWhileAskingIsBusyAndLateAnswersDoNothing) {
    SessionHarness h;
    h.autoApprove = false;
    auto first = h.link();
    h.hello(*h.session, first, helloFrom("device-1"));
    auto second = h.link();
    h.hello(*h.session, second, helloFrom("device-1"));
    EXPECT_EQ(rejected(*second), RejectReason::busy);
    h.session->linkClosed(second->id());

    // The asked link closes; the approval that comes afterwards sends nothing.
    first->open = false;
    h.session->linkClosed(first->id());
    ASSERT_EQ(h.replies.size(), 1u);
    h.replies[0](true);
    h.main.runUntilIdle();
    EXPECT_EQ(count(*first, ControlMessage::Case::connect), 0);
    EXPECT_EQ(h.session->status().service.kind, HostStatus::Service::Kind::listening);
    EXPECT_TRUE(h.session->isIdle());
}

TEST(SessionAdmission, ALinkThatClosesWhileTheDisplayIsMadeKeepsItForTheGrace) {
    SessionHarness g;
    DisplayOperationGate::Release held; // another session's display operation holds the gate
    g.gate->run([&](DisplayOperationGate::Release release) { held = release; });
    auto late = g.link();
    g.session->wire(late);
    g.session->addOpenChannel(late);
    g.session->handleHello(helloFrom("device-1"), late);
    g.main.runUntilIdle();
    late->open = false;
    g.session->linkClosed(late->id());
    held();
    g.main.advance(300ms);
    EXPECT_TRUE(logged("Desk iPad left while the display was being created, cleaning up"));
    EXPECT_EQ(count(*late, ControlMessage::Case::connect), 0);
    EXPECT_TRUE(g.session->virtualDisplay().isActive()) << "kept for the grace period";
    g.main.advance(60s);
    EXPECT_FALSE(g.session->virtualDisplay().isActive());
}

TEST(DisplayGate, TwoSimultaneousAdmissionsRunOneAfterTheOtherAtLeast250msApart) {
    SessionHarness h("device-a");
    auto other = h.make("device-b", h.session->settings());
    std::vector<MonotonicTime> starts;
    h.platform.displayClock->onSleep = nullptr;
    auto a = h.link();
    auto b = h.link();
    for (auto [s, l] : {std::pair{h.session, a}, std::pair{other, b}}) {
        s->wire(l);
        s->addOpenChannel(l);
        s->handleHello(helloFrom(s->deviceID()), l);
    }
    std::size_t created = 0;
    while (created < 2 && h.main.nextPendingDelay()) {
        h.main.runUntilIdle();
        const auto now = std::count_if(h.platform.displays->calls.begin(), h.platform.displays->calls.end(),
                                       [](const std::string& c) { return c.starts_with("create"); });
        if (static_cast<std::size_t>(now) > created) {
            created = static_cast<std::size_t>(now);
            starts.push_back(h.main.now());
        }
        h.main.runNextTimer();
    }
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[1] - starts[0], 250ms);
    h.main.advance(1s);
    EXPECT_EQ(count(*a, ControlMessage::Case::connect), 1);
    EXPECT_EQ(count(*b, ControlMessage::Case::connect), 1);
}

TEST(DisplaySerial, FollowsTheHashRuleAndOrientationsDifferOnlyInBitZero) {
    // FNV-1a of "a" is 0xE40C292C; masked 0x640C282C, bit 8 set: 0x640C292C.
    EXPECT_EQ(displaySerial("a", true), 0x640C292Cu);
    EXPECT_EQ(displaySerial("a", false), 0x640C292Du);
    EXPECT_EQ(displaySerial("device-1", true) ^ displaySerial("device-1", false), 1u);
}

TEST(CaptureRecovery, AStopIsRetriedOnTheSameDisplayAndASuccessfulRestartResetsTheCount) {
    SessionHarness h;
    auto link = h.admit();
    ASSERT_TRUE(h.session->isStreaming());
    const auto calls = h.platform.displays->calls.size();
    for (int round = 0; round < 7; ++round) { // more than five: each restart succeeds, so none gives up
        h.platform.desktop->lose();
        h.main.runUntilIdle();
        EXPECT_EQ(h.session->captureRetries(), 1);
        EXPECT_FALSE(h.session->isStreaming());
        h.main.advance(1s);
        ASSERT_TRUE(h.session->isStreaming());
        EXPECT_EQ(h.session->captureRetries(), 0);
    }
    EXPECT_EQ(countLogged("Capture interrupted ("), 7);
    EXPECT_EQ(countLogged("Capture recovered in "), 7);
    EXPECT_FALSE(link->closedWith.has_value());
    std::size_t creates = 0;
    for (std::size_t i = calls; i < h.platform.displays->calls.size(); ++i)
        creates += h.platform.displays->calls[i].starts_with("create");
    EXPECT_EQ(creates, 0u) << "the display is never recreated for a capture stop";
}

TEST(LinkHold, ClientIsDroppedWhenNoLinkTakesOverAndTheDisplayGoesAfterTheGrace) {
    SessionHarness h;
    auto link = h.admit();
    h.closeFromPeer(link);
    EXPECT_EQ(h.session->status().transportNote->text, "Connection lost. Waiting for the device to reconnect…");
    h.main.advance(9'999ms);
    EXPECT_TRUE(h.session->hasActiveClient());
    h.main.advance(1ms);
    EXPECT_FALSE(h.session->hasActiveClient());
    EXPECT_TRUE(logged("No link took over within 10s: client disconnected Desk iPad"));
    EXPECT_EQ(h.session->status().transportNote->text, "The device disconnected");
    EXPECT_TRUE(h.session->virtualDisplay().isActive());

    h.session->setGraceSeconds(5); // the running grace keeps its 60 s
    h.main.advance(59s);
    EXPECT_TRUE(h.session->virtualDisplay().isActive());
    h.main.advance(1s);
    EXPECT_TRUE(logged("Grace period expired"));
    EXPECT_FALSE(h.session->virtualDisplay().isActive());
    EXPECT_TRUE(h.session->isIdle());
}

TEST(LinkSwitch, AValidTokenOnAnotherLinkMovesTheClientAndAnInvalidOneStartsOver) {
    SessionHarness h;
    auto wifi = h.admit();
    const auto token = h.tokenOf(*wifi);
    const auto sessionID = h.session->active()->sessionID;
    const auto creates = h.platform.displays->calls.size();
    h.closeFromPeer(wifi);

    auto usb = h.link(TransportKind::usb);
    h.hello(*h.session, usb, helloFrom("device-1", token));
    EXPECT_EQ(h.session->active()->linkChanges, 2);
    ASSERT_EQ(count(*usb, ControlMessage::Case::connect), 1);
    EXPECT_EQ(h.session->active()->sessionID, sessionID);
    EXPECT_EQ(count(*usb, ControlMessage::Case::pairingPending), 0);
    EXPECT_TRUE(logged("Transport switched Wi-Fi → USB in 0ms: session " + std::to_string(sessionID)));
    EXPECT_EQ(h.platform.displays->calls.size(), creates) << "nothing recreated";

    auto stranger = h.link();
    h.hello(*h.session, stranger, helloFrom("device-1", std::string(64, 'f')));
    EXPECT_TRUE(logged("Same device on new link but pairing token invalid, restarting session"));
    EXPECT_FALSE(usb->open);
    EXPECT_EQ(count(*stranger, ControlMessage::Case::pairingPending), 1);
}

// After a host restart a device can say hello on its cable and on Wi-Fi within the same moment:
// one session, which the later link takes over, never two with one of them deaf to the device.
TEST(LinkSwitch, HellosOnTwoLinksAtOnceGiveOneSessionThatTheLaterLinkTakesOver) {
    SessionHarness h;
    const auto token = h.tokenOf(*h.admit());
    h.session->handle({Disconnect{"bye"}}, h.session->active()->link);
    h.main.advance(2s);
    ASSERT_FALSE(h.session->hasActiveClient());

    auto usb = h.link(TransportKind::usb);
    auto wifi = h.link();
    for (const auto& link : {usb, wifi}) {
        h.session->wire(link);
        h.session->addOpenChannel(link);
        h.session->handleHello(helloFrom("device-1", token), link);
    }
    h.main.advance(5s);
    ASSERT_TRUE(h.session->hasActiveClient());
    EXPECT_EQ(h.session->active()->link, wifi);
    std::set<std::uint32_t> sessions;
    for (const auto& link : {usb, wifi})
        for (const auto& m : link->controls)
            if (const auto* c = m.get<ConnectInfo>()) sessions.insert(c->sessionID);
    EXPECT_EQ(sessions.size(), 1U) << "one session for the device";
    EXPECT_TRUE(logged("also said hello via Wi-Fi while being admitted via USB"));
    EXPECT_TRUE(logged("Transport switched USB → Wi-Fi"));
    EXPECT_EQ(countLogged("Client connected"), 2) << "the first admission and this one, not a third";
}

TEST(LinkSwitch, AReconnectInTheGraceReusesTheDisplayAndAHostDisconnectDestroysItAtOnce) {
    SessionHarness h;
    auto link = h.admit();
    const auto displayID = h.session->status().displayID;
    const auto token = h.tokenOf(*link);
    h.closeFromPeer(link);
    h.main.advance(10s); // hold over: grace runs
    ASSERT_FALSE(h.session->hasActiveClient());
    auto back = h.admit(token);
    EXPECT_EQ(h.session->status().displayID, displayID);
    h.main.advance(61s);
    EXPECT_TRUE(h.session->virtualDisplay().isActive()) << "the grace was cancelled";

    h.session->disconnectClient();
    EXPECT_EQ((*back->closedWith)->get<Disconnect>()->reason, "disconnected on the host");
    h.main.runUntilIdle();
    EXPECT_FALSE(h.session->virtualDisplay().isActive());
}

TEST(SessionStop, LeavesNoDisplayNoPipelineAndNoTimer) {
    SessionHarness h;
    auto link = h.admit();
    ASSERT_TRUE(h.session->hasActiveClient());
    h.session->stop();
    h.main.runUntilIdle();
    ASSERT_TRUE(link->closedWith && *link->closedWith && (*link->closedWith)->is<Disconnect>());
    EXPECT_EQ((*link->closedWith)->get<Disconnect>()->reason, "service stopped");
    EXPECT_FALSE(h.session->virtualDisplay().isActive());
    EXPECT_FALSE(h.session->isStreaming());
    EXPECT_FALSE(h.main.nextPendingDelay().has_value());
}

TEST(CaptureRecovery, AStopReportOfAReplacedPipelineDoesNothing) {
    SessionHarness h;
    h.admit();
    ASSERT_TRUE(h.session->isStreaming());
    const auto interrupted = countLogged("Capture interrupted (");
    h.platform.desktop->lose(); // its report is on its way while the pipeline is replaced
    h.session->resumeStreaming();
    h.main.advance(1s);
    EXPECT_TRUE(h.session->isStreaming());
    EXPECT_EQ(h.session->captureRetries(), 0);
    EXPECT_EQ(countLogged("Capture interrupted ("), interrupted);
}

// A device that leaves at any point of its admission: nothing is sent to the closed link, and once
// the hold and the grace are over there is no display, no pipeline and no timer left.
TEST(SessionFaults, ALinkClosingAtAnyStepOfAdmissionLeavesNothingBehind) {
    bool admittedBeforeClose = false;
    for (int steps = 0; !admittedBeforeClose; ++steps) {
        SCOPED_TRACE(steps);
        ASSERT_LT(steps, 2000) << "admission never finishes";
        SessionHarness h;
        auto link = h.link();
        h.session->wire(link);
        h.session->addOpenChannel(link);
        h.session->handleHello(helloFrom("device-1"), link);
        for (int i = 0; i < steps && h.main.step(); ++i) {
        }
        admittedBeforeClose = count(*link, ControlMessage::Case::connect) == 1;
        const auto sent = link->controls.size();
        link->open = false;
        h.session->linkClosed(link->id());
        h.main.advance(75s);
        EXPECT_EQ(link->controls.size(), sent) << "nothing sent after the close";
        EXPECT_FALSE(h.session->hasActiveClient());
        EXPECT_FALSE(h.session->isStreaming());
        EXPECT_FALSE(h.session->virtualDisplay().isActive());
        EXPECT_TRUE(h.session->isIdle());
        for (const auto& [id, display] : h.platform.displays->displays)
            EXPECT_TRUE(display.removed) << id;
    }
}

TEST(SessionFaults, GarbageInAHelloGivesASaneStreamNeverACrash) {
    const std::vector<std::pair<const char*, std::function<void(Hello&)>>> cases{
        {"empty screen",
         [](Hello& h) {
             h.screen = {0, 0, 0, Orientation::landscape};
         }},
        {"negative and huge screen",
         [](Hello& h) {
             h.screen = {-5, 100'000, 1e300, Orientation::portrait};
         }},
        {"screen beyond 32 bits",
         [](Hello& h) {
             h.screen = {1LL << 40, 1LL << 40, -2, Orientation::landscape};
         }},
        {"odd frame rates",
         [](Hello& h) {
             h.recommendedFPS = -1;
             h.decoderMBPerSecond = 0;
         }},
        {"absurd frame rate",
         [](Hello& h) {
             h.recommendedFPS = 1'000'000;
             h.decoderMBPerSecond = -1;
         }},
        {"no codecs, empty names, long text",
         [](Hello& h) {
             h.codecs.clear();
             h.deviceName = std::string(20'000, '\x01');
             h.model.clear();
         }},
        {"a name that forges log lines",
         [](Hello& h) {
             h.deviceName =
                 "Tab\n[12:00:00.000][Session][INFO] Pairing approved for Boss\r\x1b[2J" + std::string(300, 'x');
             h.model = "\xff\xfe model";
         }},
    };
    for (const auto& [name, mutate] : cases) {
        SCOPED_TRACE(name);
        SessionHarness h;
        auto hello = helloFrom("device-1");
        mutate(hello);
        auto link = h.link();
        h.hello(*h.session, link, hello);
        const ConnectInfo* connect = nullptr;
        for (const auto& m : link->controls)
            if (const auto* c = m.get<ConnectInfo>()) connect = c;
        if (!connect) {
            EXPECT_TRUE(rejected(*link).has_value()) << "either a stream or a typed refusal";
            continue;
        }
        EXPECT_GT(connect->mode.width, 0);
        EXPECT_GT(connect->mode.height, 0);
        EXPECT_LE(connect->mode.width, 8192);
        EXPECT_LE(connect->mode.height, 8192);
        EXPECT_GT(connect->mode.fps, 0);
        EXPECT_LE(connect->mode.fps, 120);
        EXPECT_GT(connect->bitrate, 0);
        // What the device calls itself reaches logs, status lines and monitor names in one short line.
        const auto& shown = h.session->status().clientName;
        ASSERT_TRUE(shown.has_value());
        EXPECT_LE(shown->size(), 64U * 4);
        EXPECT_EQ(shown->find_first_of("\n\r\x1b\x01"), std::string::npos) << *shown;
        for (const auto& entry : KivLogStore::shared().entries(LogLevel::debug))
            EXPECT_EQ(entry.message.find_first_of("\n\r\x1b"), std::string::npos) << entry.message;
        h.session->stop();
    }
}

TEST(SessionFaults, AServerThatRefusesDisplaysOrModesStillStreamsAndLeaksNoMonitor) {
    // A monitor that shows its first mode anyway is used as it is; one that cannot be had is mirrored.
    struct Case {
        const char* name;
        std::function<void(FakeVirtualDisplayAdapter&)> refuse;
        bool mirrored;
    };
    const std::vector<Case> cases{
        {"no monitor can be made", [](FakeVirtualDisplayAdapter& d) { d.failCreate = true; }, true},
        {"modes cannot be applied", [](FakeVirtualDisplayAdapter& d) { d.failApply = true; }, true},
        {"modes cannot be selected", [](FakeVirtualDisplayAdapter& d) { d.failConfigure = true; }, false},
        {"mode requests are ignored", [](FakeVirtualDisplayAdapter& d) { d.ignoreConfigure = true; }, false},
    };
    for (const auto& [name, refuse, mirrored] : cases) {
        SCOPED_TRACE(name);
        SessionHarness h;
        refuse(*h.platform.displays);
        auto link = h.link();
        h.hello(*h.session, link, helloFrom("device-1"));
        h.main.advance(30s);
        ASSERT_EQ(count(*link, ControlMessage::Case::connect), 1) << "the device connects to the mirrored desktop";
        EXPECT_FALSE(rejected(*link).has_value());
        const ConnectInfo* info = nullptr;
        for (const auto& m : link->controls)
            if (!info) info = m.get<ConnectInfo>();
        ASSERT_NE(info, nullptr);
        // A mirror has the desktop's shape, in no more pixels than the device's screen.
        EXPECT_EQ(info->mode.width, 1366);
        EXPECT_EQ(info->mode.height, mirrored ? 768 : 1024);
        // Touches land where the device's picture comes from, never nowhere.
        h.platform.poster->events.clear();
        link->onControl(ControlMessage{InputEvent{InputEvent::Kind::tap, 0.5, 0.5, 0, 0, 0, 0}});
        h.main.runUntilIdle();
        ASSERT_FALSE(h.platform.poster->events.empty());
        EXPECT_EQ(h.platform.poster->events.front(),
                  mirrored ? "mouse 5 (960,540) click 0" : "mouse 5 (2560,400) click 0");
        int live = 0;
        for (const auto& [id, display] : h.platform.displays->displays)
            live += !display.removed;
        EXPECT_LE(live, 1) << "at most the one display the device uses";
        h.session->stop();
        h.main.runUntilIdle();
        for (const auto& [id, display] : h.platform.displays->displays)
            EXPECT_TRUE(display.removed) << id;
    }
}

// The service over a fake network, with the real control server and links in front of it.
struct ServiceHarness {
    ManualExecutor main;
    FakeHostPlatform platform{main};
    FakeNetworkFactory network;
    std::shared_ptr<HostService> service;
    std::vector<DisplaySession::ApprovalReply> replies;
    std::vector<std::shared_ptr<FakeConnection>> connections;

    explicit ServiceHarness(int maxDevices = 8) {
        platform.ports.network = &network;
        HostSettings settings;
        settings.maxDevices = maxDevices;
        settings.serviceName = "Host";
        settings.hostID = "HOST-ID";
        settings.loopbackOnly = true;
        settings.usbEnabled = false;
        service = HostService::create(settings, FrameSourceKind::screenCapture,
                                      std::make_shared<InMemoryPairingStore>(), platform.ports, main);
        service->approvalHandler = [this](const PeerRequest&, DisplaySession::ApprovalReply reply) {
            replies.push_back(std::move(reply));
        };
        EXPECT_TRUE(service->start().has_value());
        main.runUntilIdle();
    }
    ~ServiceHarness() { service->stop(); }
    std::shared_ptr<FakeConnection> connect() {
        connections.push_back(
            std::make_shared<FakeConnection>(NetworkEndpoint::hostPort(IPv4Address{{127, 0, 0, 1}}, 50000)));
        network.streamListener->connect(connections.back());
        main.runUntilIdle();
        return connections.back();
    }
    void say(FakeConnection& connection, const ControlMessage& message) {
        connection.deliver(*ControlFraming::encode(message));
        main.runUntilIdle();
    }
    // The peers read what they were sent, so sends complete and closes finish.
    void settle() {
        for (bool more = true; more;) {
            main.runUntilIdle();
            more = false;
            for (auto& c : connections)
                for (; c->completedSends < c->sent.size(); more = true)
                    c->completeSend();
        }
    }
    HostStatus::Service::Kind kind() const { return service->status().service.kind; }
    static bool connected(const FakeConnection& connection) {
        ControlFrameDecoder decoder;
        const auto messages = decoder.append(connection.sentBytes());
        return messages && std::ranges::any_of(*messages, [](const auto& m) { return m.template get<ConnectInfo>(); });
    }
    static std::optional<RejectReason> refusal(const FakeConnection& connection) {
        ControlFrameDecoder decoder;
        const auto messages = decoder.append(connection.sentBytes());
        if (messages)
            for (const auto& m : *messages)
                if (const auto* reason = m.get<RejectReason>()) return *reason;
        return std::nullopt;
    }
};

TEST(HostServiceLinks, ASilentLinkIsClosedAfter10sAndAnIdleSessionIsReleased) {
    ServiceHarness h;
    auto silent = h.connect();
    auto device = h.connect();
    h.say(*device, ControlMessage{helloFrom("device-1")});
    EXPECT_EQ(h.service->pendingCount(), 1u);
    ASSERT_EQ(h.replies.size(), 1u);
    h.replies[0](true);
    h.main.advance(9'999ms);
    EXPECT_EQ(silent->cancelCount, 0);
    EXPECT_EQ(h.kind(), HostStatus::Service::Kind::streaming);
    h.main.advance(1ms);
    EXPECT_GE(silent->cancelCount, 1);
    EXPECT_EQ(h.service->pendingCount(), 0u);
    EXPECT_TRUE(logged("Closing link without HELLO from 127.0.0.1"));

    device->deliver({}, true); // the device goes; hold, then grace, then the session is released
    h.main.advance(70s + 1s);
    EXPECT_TRUE(h.service->allSessions().empty());
    EXPECT_TRUE(h.service->status().devices.empty());
    EXPECT_TRUE(logged("Device session device-1 released, 0 device(s) now"));
    EXPECT_EQ(h.kind(), HostStatus::Service::Kind::listening);
}

TEST(HostServiceLinks, ADeviceBackWhileItsQuestionIsOpenGetsThatAnswerAndOneThatLeftForGoodIsAskedAnew) {
    using Kind = HostStatus::Service::Kind;
    ServiceHarness h;
    const auto leaveAndReturn = [&] {
        auto first = h.connect();
        h.say(*first, ControlMessage{helloFrom("device-1")});
        first->deliver({}, true); // its link drops while the user reads the question
        h.settle();
        auto again = h.connect();
        h.say(*again, ControlMessage{helloFrom("device-1")});
        return again;
    };
    for (const bool approved : {true, false}) {
        auto again = leaveAndReturn();
        ASSERT_EQ(h.replies.size(), 1u) << "one question about the device, not a second one behind it";
        EXPECT_EQ(h.kind(), Kind::waitingForApproval);
        std::exchange(h.replies, {})[0](approved);
        h.settle();
        EXPECT_EQ(ServiceHarness::connected(*again), approved) << "the answer reaches the link the device is on";
        EXPECT_EQ(h.kind(), approved ? Kind::streaming : Kind::listening);
        if (approved) h.service->disconnect("device-1");
        h.main.advance(70s);
    }
    EXPECT_TRUE(logged("Desk iPad asked again while the user still has its question: the answer is for its new link"));

    // A question answered after its device left for good reaches nobody; the next request is asked anew.
    auto gone = h.connect();
    h.say(*gone, ControlMessage{helloFrom("device-2")});
    gone->deliver({}, true);
    h.settle();
    std::exchange(h.replies, {})[0](true);
    h.settle();
    auto later = h.connect();
    h.say(*later, ControlMessage{helloFrom("device-2")});
    EXPECT_EQ(h.replies.size(), 1u);
    EXPECT_FALSE(ServiceHarness::connected(*later));
}

TEST(HostServiceLinks, TheStatusFoldPutsStreamingFirstThenApprovalThenListenerTrouble) {
    using Kind = HostStatus::Service::Kind;
    ServiceHarness h;
    auto streaming = h.connect();
    h.say(*streaming, ControlMessage{helloFrom("device-b")});
    EXPECT_EQ(h.kind(), Kind::waitingForApproval);
    EXPECT_EQ(h.service->status().service.text, "Desk iPad");
    ASSERT_EQ(h.replies.size(), 1u);
    h.replies[0](true);
    h.main.advance(1s);

    auto asking = h.connect();
    h.say(*asking, ControlMessage{helloFrom("device-a")});
    ASSERT_EQ(h.replies.size(), 2u);
    EXPECT_EQ(h.kind(), Kind::streaming) << "a streaming device outranks one waiting";
    h.network.streamListener->report(ListenerState::failed, "boom");
    h.main.runUntilIdle();
    EXPECT_EQ(h.kind(), Kind::streaming) << "and a listener failure";

    h.service->disconnect("device-b");
    h.settle();
    EXPECT_EQ(h.kind(), Kind::waitingForApproval);
    h.replies[1](false);
    h.settle();
    EXPECT_EQ(h.kind(), Kind::error);
    EXPECT_EQ(h.service->status().service.text, "Couldn't listen for connections: boom");
    const auto devices = h.service->status().devices;
    EXPECT_TRUE(devices.empty()) << devices.size() << " sessions left after both went";
}

TEST(HostServiceLinks, OnePromptWaitsAtATimeAndPastTheDeviceCapANewDeviceIsBusy) {
    KivLogStore::shared().clear();
    ServiceHarness h(2);
    auto first = h.connect();
    h.say(*first, ControlMessage{helloFrom("device-a")});
    ASSERT_EQ(h.replies.size(), 1u);
    auto second = h.connect();
    h.say(*second, ControlMessage{helloFrom("device-b")});
    EXPECT_EQ(ServiceHarness::refusal(*second), RejectReason::busy) << "while device-a's prompt waits";
    EXPECT_EQ(h.replies.size(), 1u) << "the user is asked about one device at a time";
    auto again = h.connect();
    h.say(*again, ControlMessage{helloFrom("device-b")});
    EXPECT_EQ(countLogged("Told Desk iPad at 127.0.0.1 to wait: the user is being asked about another device"), 1)
        << "once per cause and address";

    h.replies[0](true);
    h.main.advance(1s);
    auto later = h.connect();
    h.say(*later, ControlMessage{helloFrom("device-b")});
    ASSERT_EQ(h.replies.size(), 2u) << "asked once the first prompt is answered";
    h.replies[1](true);
    h.main.advance(1s);

    auto third = h.connect();
    h.say(*third, ControlMessage{helloFrom("device-c")});
    EXPECT_EQ(ServiceHarness::refusal(*third), RejectReason::busy) << "two devices are the most";
    EXPECT_EQ(h.service->allSessions().size(), 2u);
    EXPECT_TRUE(logged("Turned away Desk iPad at 127.0.0.1: 2 devices are served at once, the most allowed"));

    // A device already served comes back on a new link past the cap: it is the same session.
    auto back = h.connect();
    auto hello = helloFrom("device-a");
    h.say(*back, ControlMessage{hello});
    EXPECT_NE(ServiceHarness::refusal(*back), RejectReason::busy);
}

TEST(HostServiceLinks, AnApprovedDeviceNoLongerHoldsUpOthersWhileItsMonitorIsMade) {
    ServiceHarness h;
    auto first = h.connect();
    h.say(*first, ControlMessage{helloFrom("device-a")});
    h.replies[0](true);
    h.main.runUntilIdle(); // device-a's monitor is made; the next waits 250 ms for its turn
    auto second = h.connect();
    h.say(*second, ControlMessage{helloFrom("device-b")});
    ASSERT_EQ(h.replies.size(), 2u);
    h.replies[1](true);
    h.main.runUntilIdle();
    auto third = h.connect();
    h.say(*third, ControlMessage{helloFrom("device-c")});
    EXPECT_EQ(ServiceHarness::refusal(*third), std::nullopt);
    ASSERT_EQ(h.replies.size(), 3u) << "asked at once: device-b was answered, only its monitor is still to come";
    h.replies[2](true);
    h.main.advance(2s);
    h.settle();
    for (const auto& id : {"device-a", "device-b", "device-c"})
        EXPECT_TRUE(h.service->session(id) && h.service->session(id)->hasActiveClient()) << id;
}

TEST(UsbDirect, ParsesHostAndPortWithTheirDefaults) {
    const std::vector<std::tuple<std::string, std::string, std::uint16_t>> cases{
        {"10.0.0.5", "10.0.0.5", 52012}, {":", "127.0.0.1", 52012}, {"host:99999", "host", 52012},
        {"h:4000", "h", 4000},           {":4000", "4000", 52012},  {"h:40x", "h", 52012}};
    for (const auto& [text, host, port] : cases) {
        const auto direct = parseUsbDirect(text);
        EXPECT_EQ(direct.host, host) << text;
        EXPECT_EQ(direct.port, port) << text;
    }
}

} // namespace
