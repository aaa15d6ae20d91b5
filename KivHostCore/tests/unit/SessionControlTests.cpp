// What an admitted device steers, in virtual time over fakes: pause and resume, orientation
// bursts, settings changes, links that are not the client's; the statistics line's rules; and
// sound forwarding's retries and the shared silencing of the host's output.
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Testing/FakeAudioDevices.hpp"
#include "KivProtocol/RemoteText.hpp"
#include "SessionHarness.hpp"

namespace {

int creates(const FakeVirtualDisplayAdapter& displays) {
    return static_cast<int>(std::count_if(displays.calls.begin(), displays.calls.end(),
                                          [](const std::string& c) { return c.starts_with("create"); }));
}

template <class T>
std::vector<T> sent(const FakeHostTransport& link) {
    std::vector<T> out;
    for (const auto& m : link.controls)
        if (const auto* v = m.get<T>()) out.push_back(*v);
    return out;
}

TEST(SessionControl, PauseKeepsTheDisplayForTheGraceAndResumeStreamsAgain) {
    SessionHarness h;
    auto link = h.admit();
    const auto displayID = h.session->status().displayID;
    h.session->handle({Resume{}}, link); // not paused: nothing
    EXPECT_FALSE(logged("Client resumed"));

    h.session->handle({Pause{}}, link);
    h.session->handle({Pause{}}, link);
    EXPECT_EQ(countLogged("Client paused"), 1);
    EXPECT_FALSE(h.session->isStreaming());
    EXPECT_EQ(h.session->status().service.kind, HostStatus::Service::Kind::paused);
    h.main.advance(59s);
    EXPECT_TRUE(h.session->virtualDisplay().isActive()) << "kept while the grace runs";

    h.session->handle({Resume{}}, link);
    h.main.advance(1s);
    EXPECT_TRUE(h.session->isStreaming());
    EXPECT_EQ(h.session->status().displayID, displayID);
    EXPECT_EQ(h.session->status().service.kind, HostStatus::Service::Kind::streaming);
    h.main.advance(60s);
    EXPECT_TRUE(h.session->virtualDisplay().isActive()) << "the grace does not end a resumed stream";

    // Paused past the grace: the display goes; resuming makes it again.
    h.session->handle({Pause{}}, link);
    h.main.advance(60s);
    EXPECT_FALSE(h.session->virtualDisplay().isActive());
    h.session->handle({Resume{}}, link);
    h.main.advance(1s);
    EXPECT_TRUE(h.session->isStreaming());
    EXPECT_TRUE(h.session->virtualDisplay().isActive());
}

TEST(SessionControl, AMirroringDeviceKeepsItsPictureThroughPauseRotationAndNewSettings) {
    SessionHarness h;
    h.platform.displays->failCreate = true; // an X server whose screen cannot grow
    auto link = h.admit();
    ASSERT_TRUE(logged("mirroring the main display"));
    const auto mirrored = [&] {
        const auto applied = h.session->configuration().applied();
        EXPECT_TRUE(applied && ConfigurationResolver::isMirror(*applied));
        return applied.value_or(DisplayConfiguration{});
    };
    const auto streamingOnTheDesktop = [&](const char* after) {
        SCOPED_TRACE(after);
        EXPECT_TRUE(h.session->isStreaming());
        EXPECT_EQ(h.session->status().service.kind, HostStatus::Service::Kind::streaming);
        const auto c = mirrored();
        EXPECT_EQ(c.logicalWidth, 1920);
        // The stream keeps the desktop's shape, whatever the device's screen is.
        EXPECT_NEAR(static_cast<double>(c.streamWidth) / static_cast<double>(c.streamHeight), 1920.0 / 1080.0, 0.02);
    };
    streamingOnTheDesktop("admission");
    const int attempts = creates(*h.platform.displays);

    h.session->handle({Pause{}}, link);
    h.main.advance(2s);
    h.session->handle({Resume{}}, link);
    h.main.advance(2s);
    streamingOnTheDesktop("resume");
    EXPECT_FALSE(logged("Resume failed"));

    h.session->handle({ScreenInfo{1024, 1366, 1, Orientation::portrait}}, link);
    h.main.advance(5s);
    streamingOnTheDesktop("rotation");

    h.session->handle({ConfigChange{4, std::nullopt, std::nullopt, 60, std::nullopt, std::nullopt}}, link);
    h.main.advance(5s);
    streamingOnTheDesktop("a new frame rate");
    EXPECT_EQ(mirrored().fps, 60);
    for (const auto& applied : sent<ConfigApplied>(*link))
        EXPECT_EQ(applied.result, ConfigResult::ok()) << applied.configuration.text();
    EXPECT_EQ(creates(*h.platform.displays), attempts) << "no monitor is tried again while mirroring";

    // Connecting again asks for a monitor again: the server may have room now.
    h.platform.displays->failCreate = false;
    h.session->handle({Disconnect{"bye"}}, link);
    h.main.runUntilIdle();
    auto again = h.admit(h.tokenOf(*link));
    EXPECT_TRUE(h.session->isStreaming());
    const auto applied = h.session->configuration().applied();
    ASSERT_TRUE(applied);
    EXPECT_FALSE(ConfigurationResolver::isMirror(*applied));
    EXPECT_TRUE(h.session->status().displayID.has_value());
}

TEST(SessionControl, OnlyTheClientsOwnLinkSteersTheSession) {
    SessionHarness h;
    auto link = h.admit();
    auto other = h.link(TransportKind::usb);
    h.session->wire(other);
    h.session->addOpenChannel(other);
    const auto settings = h.session->configuration().settings();
    for (const ControlMessage& m : {ControlMessage{Pause{}}, ControlMessage{Disconnect{"bye"}},
                                    ControlMessage{ConfigChange{9, DisplaySize::larger, {}, {}, {}, {}}}}) {
        h.session->handle(m, other);
    }
    h.main.advance(2s);
    EXPECT_TRUE(h.session->isStreaming());
    EXPECT_TRUE(h.session->hasActiveClient());
    EXPECT_EQ(h.session->configuration().settings(), settings);
    EXPECT_TRUE(link->open);
}

TEST(SessionControl, TouchNeedsTheDesktopsTrustUnlessInputIsInDryRun) {
    SessionHarness h;
    h.platform.poster->trusted = false;
    auto link = h.admit();
    auto statuses = sent<InputStatus>(*link);
    ASSERT_FALSE(statuses.empty());
    EXPECT_FALSE(statuses.back().enabled);
    EXPECT_EQ(statuses.back().reason, RemoteText::make(RemoteText::touchNoAccessibility));

    // A touch that cannot be injected tells the person at the computer, once.
    int needed = 0;
    h.session->onAccessibilityNeeded = [&] { ++needed; };
    for (int i = 0; i < 3; ++i)
        link->onControl(ControlMessage{InputEvent{InputEvent::Kind::tap, 0.5, 0.5, 0, 0, 0, 0}});
    h.main.runUntilIdle();
    EXPECT_EQ(needed, 1);

    h.session->input().setDryRun(true);
    h.session->refreshInputStatus();
    statuses = sent<InputStatus>(*link);
    EXPECT_TRUE(statuses.back().enabled) << "dry run posts nothing, so it needs no trust";
    EXPECT_TRUE(logged("Touch control: enabled [dry-run]"));
}

TEST(SessionControl, ThreeOrientationsInHalfASecondGiveOneUpdate800msAfterTheLast) {
    SessionHarness h;
    auto link = h.admit();
    const int before = creates(*h.platform.displays);
    ScreenInfo portrait{1024, 1366, 2, Orientation::portrait};
    ScreenInfo landscape{1366, 1024, 2, Orientation::landscape};
    h.session->handle({portrait}, link);
    h.main.advance(250ms);
    h.session->handle({landscape}, link);
    h.main.advance(250ms);
    h.session->handle({portrait}, link);
    h.main.advance(799ms);
    EXPECT_EQ(creates(*h.platform.displays), before);
    h.main.advance(2s);
    ASSERT_EQ(creates(*h.platform.displays), before + 1);
    const auto& calls = h.platform.displays->calls;
    const auto made =
        *std::find_if(calls.rbegin(), calls.rend(), [](const std::string& c) { return c.starts_with("create"); });
    EXPECT_NE(made.find(std::to_string(displaySerial("device-1", false))), std::string::npos) << made;
    EXPECT_EQ(h.session->status().clientScreen, portrait);
    EXPECT_TRUE(h.session->isStreaming());
}

TEST(SessionControl, FloodsOfOrientationsAndKeyframeRequestsStayBounded) {
    SessionHarness h;
    auto link = h.admit();
    const int before = creates(*h.platform.displays);
    for (int i = 0; i < 10'000; ++i) {
        h.session->handle({ScreenInfo{1024, 1366, 2, i % 2 ? Orientation::landscape : Orientation::portrait}}, link);
        h.session->handle({RequestIDR{i % 3 ? IDRReason::manual : IDRReason::decodeError}}, link);
    }
    EXPECT_LE(h.main.pendingTasks(), 1u) << "requests coalesce: nothing queued per message";
    h.main.advance(5s);
    EXPECT_EQ(creates(*h.platform.displays), before) << "the last of the burst was landscape: nothing to remake";
    EXPECT_TRUE(logged("IDR requests: decodeError=3334 manual=6666"));
    EXPECT_TRUE(h.session->isStreaming());
}

TEST(SessionControl, SettingsChangesApplyWhatIsValidAndLimitsNeedTwoPositiveSides) {
    SessionHarness h;
    auto link = h.admit();
    h.session->handle({ConfigChange{7, std::nullopt, QualityMode::smooth, 45, std::nullopt, std::nullopt}}, link);
    h.main.advance(2s);
    EXPECT_EQ(h.session->configuration().settings().quality, QualityMode::smooth);
    EXPECT_EQ(h.session->configuration().settings().fps, 0) << "45 fps is not offered: the rate stays";
    const auto applied = sent<ConfigApplied>(*link);
    ASSERT_FALSE(applied.empty());
    EXPECT_EQ(applied.back().requestID, 7u);

    for (const StreamLimit limit : {StreamLimit{0, 720}, StreamLimit{1280, -1}})
        h.session->handle({limit}, link);
    EXPECT_FALSE(logged("Client requested stream limit"));
    h.session->handle({StreamLimit{1280, 720}}, link);
    EXPECT_TRUE(logged("Client requested stream limit 1280x720 (decoder capability)"));

    // Refinement switched on in place (the stream keeps running): a screen that goes still is refined.
    const auto framesBefore = link->frames.size();
    h.session->handle({ConfigChange{8, std::nullopt, std::nullopt, std::nullopt, true, std::nullopt}}, link);
    h.main.advance(2s);
    ASSERT_FALSE(h.platform.desktop->events.empty());
    h.platform.desktop->events.back().changed(false);
    h.main.advance(2s);
    EXPECT_TRUE(h.platform.encoders.lastOptions.quality.has_value()) << "the refiner opened its encoder";
    EXPECT_GE(link->frames.size(), framesBefore + 2) << "the change, then its refinement";

    ClientStats stats;
    stats.decodedWidth = 1366;
    stats.decodedHeight = 1024;
    for (int i = 0; i < 3; ++i)
        h.session->handle({stats}, link);
    EXPECT_EQ(countLogged("iPad decoder actual: 1366x1024"), 1);
}

TEST(SessionControl, LossyStatisticsLowerTheTierAndCleanOnesRaiseItAgain) {
    SessionHarness h;
    auto link = h.admit();
    const auto startBitrate = h.session->configuration().applied()->bitrate;
    const auto report = [&](double loss, int seconds) {
        for (int i = 0; i < seconds; ++i) {
            ClientStats stats;
            stats.packetLoss = loss;
            stats.rttMs = 10;
            h.session->handle({stats}, link);
            h.main.advance(1s);
        }
    };
    report(0.10, 3); // the third bad interval steps down
    ASSERT_FALSE(sent<ConfigApplied>(*link).empty());
    const auto lowered = sent<ConfigApplied>(*link).back().configuration;
    EXPECT_LT(lowered.bitrate, startBitrate);
    EXPECT_EQ(lowered.tier, QualityTier::standard);
    report(0.0, 45); // twice the usual clean streak after a step down
    EXPECT_EQ(sent<ConfigApplied>(*link).back().configuration.tier, QualityTier::clear);
    EXPECT_EQ(h.session->configuration().applied()->bitrate, startBitrate);
}

// The report line, from samples the test makes.
SessionReportInput interval(int seconds, double fps, std::int64_t captureDrops) {
    SessionReportInput in;
    for (int i = 0; i < seconds; ++i) {
        HostMetrics m;
        m.captureFPS = fps;
        m.encodeFPS = fps;
        m.droppedCaptureFrames = captureDrops;
        in.host.push_back(m);
    }
    in.targetBitrate = 8'000'000;
    return in;
}

TEST(SessionReportLine, ProblemRuleIdrOrderStillScreenTailAndCountersSinceTheLastReport) {
    struct Case {
        const char* name;
        SessionReportInput input;
        bool problem;
        std::vector<std::string> contains;
    };
    auto idr = interval(5, 30, 0);
    idr.idrCounts = {{IDRReason::packetLoss, 2}, {IDRReason::decodeError, 1}};
    auto congestion = interval(5, 30, 0);
    congestion.host.back().droppedSendFrames = 1;
    auto audioLoss = interval(5, 30, 0);
    audioLoss.audio = AudioSenderStats{250, 1536, 0, 48'000, 2};
    audioLoss.clients.push_back({});
    audioLoss.clients.back().audio = AudioStats{250, 1, 0, 0, 60, 80, true};
    auto usb = interval(5, 30, 0);
    usb.links = {{TransportKind::usb, "00008103"}, {TransportKind::usb, "00008103"}};
    usb.links[0].sendQueueBytes = 300 * 1024;
    usb.links[1].sendQueueFrames = 4;
    const std::vector<Case> cases{
        {"7 of 150 captured frames dropped", interval(5, 30, 7), false, {"dropped capture +7 send(congestion) +0"}},
        {"8 of 150", interval(5, 30, 8), true, {"dropped capture +8"}},
        {"a sender drop", congestion, true, {"send(congestion) +1"}},
        {"keyframe requests by reason text", idr, false, {" | IDR requests: decodeError=1 packetLoss=2"}},
        {"still screen",
         interval(5, 0, 0),
         false,
         {"[5s] capture 0fps", " | no captured frames (normal while the screen is still)"}},
        {"a lost sound packet on the device",
         audioLoss,
         true,
         {" | audio 48000Hz/2ch 1536kbps pkts 250", " || iPad audio buf 60ms latency 80ms underruns +0 lost +1"}},
        {"USB link",
         usb,
         false,
         {" | link usb dev=00008103 throughput 0.0Mbps sendq max 300KB/4f rxq 0KB reconnects 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SessionReportCounters counters;
        const auto report = makeSessionReport(c.input, counters);
        EXPECT_EQ(report.problem, c.problem) << report.line;
        for (const auto& piece : c.contains)
            EXPECT_NE(report.line.find(piece), std::string::npos) << report.line;
        EXPECT_EQ(report.line.find("no captured frames") != std::string::npos, c.input.host[0].captureFPS < 0.5);
    }

    // Counters are differences from the previous report, never negative.
    SessionReportCounters counters;
    makeSessionReport(interval(5, 30, 8), counters);
    EXPECT_NE(makeSessionReport(interval(5, 30, 10), counters).line.find("dropped capture +2 "), std::string::npos);
    EXPECT_NE(makeSessionReport(interval(5, 30, 3), counters).line.find("dropped capture +0 "), std::string::npos);
}

// Sleep and wake, raised by the test.
struct ManualPower final : PowerEvents {
    Handlers handlers;
    std::shared_ptr<void> observe(Handlers h) override {
        handlers = std::move(h);
        return std::make_shared<int>(0);
    }
};

TEST(SessionAudio, FailedStartsRetryAfter1_2_3_3_3sThenGiveUpUntilAWakeOrASettingsChange) {
    auto power = std::make_shared<ManualPower>();
    SessionHarness h("device-1", [](HostSettings& s) { s.session.audio = AudioRoute::both; });
    h.platform.ports.power = power;
    h.session = h.make("device-1", h.session->settings());
    h.session->audio().testTone = AudioForwarder::TestTone{440, true};
    auto link = h.link();
    h.session->wire(link);
    h.session->addOpenChannel(link);
    h.session->handleHello(helloFrom("device-1"), link);
    std::vector<MonotonicTime> failures;
    const auto watch = [&](Duration span) {
        const auto end = h.main.now() + span;
        while (h.main.now() < end) {
            const auto before = countLogged("Sound capture failed: ");
            h.main.advance(10ms);
            if (countLogged("Sound capture failed: ") > before) failures.push_back(h.main.now());
        }
    };
    watch(30s);
    ASSERT_EQ(failures.size(), 6u) << "a first failure and five retries";
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < failures.size(); ++i)
        gaps.push_back(std::chrono::duration_cast<std::chrono::seconds>(failures[i] - failures[i - 1] + 500ms).count());
    EXPECT_EQ(gaps, (std::vector<std::int64_t>{1, 2, 3, 3, 3}));
    EXPECT_EQ(countLogged("Sound capture failed repeatedly, giving up until the next change"), 1);
    const auto status = sent<AudioStatus>(*link).back();
    EXPECT_FALSE(status.streaming);
    ASSERT_TRUE(status.note.has_value());
    h.main.advance(60s);
    EXPECT_EQ(countLogged("Sound capture failed: "), 6) << "nothing more until something changes";

    // A wake is a change: one more round of attempts.
    power->handlers.displaysDidWake();
    h.main.advance(100ms);
    EXPECT_EQ(countLogged("Sound capture failed: "), 7);

    // A settings change is the next change: sound is tried again, and this time it works.
    h.session->audio().testTone->failStart = false;
    h.session->handle({ConfigChange{1, std::nullopt, std::nullopt, std::nullopt, std::nullopt, AudioRoute::device}},
                      link);
    h.main.advance(2s);
    EXPECT_TRUE(logged("Sound → device started (route device)"));
    EXPECT_TRUE(sent<AudioStatus>(*link).back().streaming);
}

TEST(SessionAudio, TheHostStaysSilentWhileAnySessionRoutesSoundToItsDevice) {
    SessionHarness h;
    auto devices = std::make_shared<test::FakeAudioDevices>();
    devices->devices_[10] = {.uid = "speakers"};
    devices->defaultDevice = 10;
    ManualExecutor& main = h.main;
    h.muter = std::make_shared<MuteCoordinator>(
        std::make_unique<HostOutputMuter>(devices, std::make_shared<InMemoryKeyValueStore>()), main, main);
    HostSettings settings = h.session->settings();
    settings.session.audio = AudioRoute::device;
    auto a = h.make("device-a", settings);
    auto b = h.make("device-b", settings);
    std::vector<std::shared_ptr<FakeHostTransport>> links;
    for (const auto& s : {a, b}) {
        s->audio().testTone = AudioForwarder::TestTone{440, false};
        links.push_back(h.link());
        h.hello(*s, links.back(), helloFrom(s->deviceID()));
    }
    h.main.advance(1s);
    EXPECT_TRUE((*devices)[10].muted || (*devices)[10].volume == 0);
    EXPECT_TRUE(sent<AudioStatus>(*links[0]).back().hostMuted);

    const auto toHost = ConfigChange{3, std::nullopt, std::nullopt, std::nullopt, std::nullopt, AudioRoute::host};
    a->handle({toHost}, links[0]);
    h.main.advance(1s);
    EXPECT_TRUE((*devices)[10].muted || (*devices)[10].volume == 0) << "the other session still wants it silent";
    EXPECT_FALSE(sent<AudioStatus>(*links[0]).back().streaming);
    b->handle({toHost}, links[1]);
    h.main.advance(1s);
    EXPECT_FALSE((*devices)[10].muted);
    EXPECT_EQ((*devices)[10].volume, 1.0F);
    EXPECT_EQ(countLogged("Sound → device stopped"), 2);
    for (const auto& s : {a, b})
        s->stop();
}

} // namespace
