#include <gtest/gtest.h>

#include "KivHostCore/Service/SessionConfigurationManager.hpp"
#include "KivHostCore/Testing/FakeReconfigurationTarget.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Origin = SessionConfigurationManager::Origin;

namespace {

SessionSettings baseSettings() {
    return SessionSettings{DisplaySize::standard, QualityMode::standard, 30, true, AudioRoute::host};
}

struct Harness {
    ManualExecutor main;
    std::shared_ptr<SessionConfigurationManager> manager = SessionConfigurationManager::create(main, baseSettings());
    std::shared_ptr<FakeReconfigurationTarget> target = std::make_shared<FakeReconfigurationTarget>();
    std::vector<ConfigApplied> applied;
    std::vector<ApplyState> states;
    std::vector<Origin> applying;
    std::vector<SessionSettings> settingsChanges;

    explicit Harness(bool running = true) {
        manager->setTarget(target);
        manager->setScreen(ScreenInfo{2048, 1536, 2.0, Orientation::landscape});
        manager->onApplied = [this](const ConfigApplied& a) { applied.push_back(a); };
        manager->onStateChange = [this](const ApplyState& s) { states.push_back(s); };
        manager->onApplying = [this](const Origin& o) { applying.push_back(o); };
        manager->onSettingsChanged = [this](const SessionSettings& s) { settingsChanges.push_back(s); };
        if (running) manager->markApplied(manager->desiredConfiguration());
    }

    SessionSettings with(DisplaySize size) {
        auto s = manager->settings();
        s.displaySize = size;
        return s;
    }
};

ClientStats statsOf(double loss, double rtt, std::int64_t dropped = 0) {
    ClientStats stats;
    stats.packetLoss = loss;
    stats.rttMs = rtt;
    stats.droppedFrames = dropped;
    return stats;
}

} // namespace

TEST(SessionConfigurationManager, RequestsDuringADisplayChangeMergeIntoOneFollowUp) {
    Harness h;
    h.manager->schedule(h.with(DisplaySize::moreSpace), Origin::client(1));
    h.main.runUntilIdle();
    ASSERT_EQ(h.target->pendingDisplay.size(), 1u);
    EXPECT_EQ(h.states.back(), ApplyState::applying("Applying…"));
    EXPECT_EQ(h.applying, (std::vector<Origin>{Origin::client(1)}));

    h.manager->schedule(h.with(DisplaySize::larger), Origin::client(2));
    h.manager->schedule(h.with(DisplaySize::mostSpace), Origin::client(3));
    h.main.runUntilIdle();
    EXPECT_EQ(h.target->calls.size(), 1u) << "one apply at a time";

    h.target->completeDisplay();
    h.main.runUntilIdle();
    ASSERT_EQ(h.applied.size(), 1u);
    EXPECT_EQ(h.applied[0].requestID, 1u);
    ASSERT_EQ(h.target->pendingDisplay.size(), 1u) << "the merged follow-up runs";
    EXPECT_EQ(h.target->pendingDisplay.front().first.logicalWidth, 1536) << "with the settings of request 3";

    h.target->completeDisplay();
    h.main.runUntilIdle();
    ASSERT_EQ(h.applied.size(), 3u);
    EXPECT_EQ(h.applied[1].requestID, 2u);
    EXPECT_EQ(h.applied[2].requestID, 3u);
    EXPECT_EQ(h.applied[2].settings.displaySize, DisplaySize::mostSpace);
    EXPECT_TRUE(h.applied[2].result.isOk());
    EXPECT_FALSE(h.manager->isBusy());
}

TEST(SessionConfigurationManager, FrameRateChangeIsAStreamStepWithASummary) {
    Harness h;
    auto sixty = h.manager->settings();
    sixty.fps = 60;
    h.manager->schedule(sixty, Origin::local());
    h.main.runUntilIdle();
    ASSERT_EQ(h.target->calls.size(), 1u);
    EXPECT_EQ(h.target->calls[0].level, "stream");
    EXPECT_EQ(h.states.back(), ApplyState::applying("Applying…"));
    h.main.advance(120ms);
    h.target->completeStream();
    h.main.runUntilIdle();
    EXPECT_EQ(h.states.back(), ApplyState::succeeded("Changed: Frame rate: 60 FPS"));
    EXPECT_EQ(h.manager->applied()->fps, 60);
    ASSERT_EQ(h.applied.size(), 1u);
    EXPECT_FALSE(h.applied[0].requestID.has_value()) << "no client origin: one answer without an ID";
    EXPECT_EQ(h.settingsChanges.size(), 1u);
}

TEST(SessionConfigurationManager, UnchangedRequestIsAnsweredWithoutWork) {
    Harness h;
    h.manager->schedule(h.manager->settings(), Origin::client(9));
    h.main.runUntilIdle();
    EXPECT_TRUE(h.target->calls.empty());
    EXPECT_EQ(h.states.back(), ApplyState::succeeded("Already using these settings"));
    ASSERT_EQ(h.applied.size(), 1u);
    EXPECT_EQ(h.applied[0].requestID, 9u);
    EXPECT_TRUE(h.applied[0].result.isOk());
}

TEST(SessionConfigurationManager, SeveralChangesAreListedInOneSummary) {
    Harness h;
    auto s = h.manager->settings();
    s.displaySize = DisplaySize::larger;
    s.staticRefinement = false;
    s.audio = AudioRoute::both;
    h.manager->schedule(s, Origin::local());
    h.main.runUntilIdle();
    h.target->completeDisplay();
    h.main.runUntilIdle();
    EXPECT_EQ(h.states.back(),
              ApplyState::succeeded("Changed: Display size: Larger Text, Still-image refinement off, and "
                                    "Sound: Device + This Computer"));
}

TEST(SessionConfigurationManager, FailedDisplayChangeRollsBackAndReportsTheRestoredSettings) {
    Harness h;
    const auto before = *h.manager->applied();
    h.manager->schedule(h.with(DisplaySize::mostSpace), Origin::client(4));
    h.main.runUntilIdle();
    h.target->failDisplay("mode refused");
    h.main.runUntilIdle();
    ASSERT_EQ(h.target->calls.size(), 2u);
    EXPECT_EQ(h.target->calls[1].level, "display") << "rollback at least at the failed level";
    EXPECT_EQ(h.target->calls[1].configuration, before);
    h.target->completeDisplay();
    h.main.runUntilIdle();
    EXPECT_EQ(h.manager->settings(), baseSettings()) << "settings revert";
    const std::string message = "That setting couldn't be applied. Restored: Default · Standard · 30 FPS";
    EXPECT_EQ(h.states.back(), ApplyState::failed(message));
    ASSERT_EQ(h.applied.size(), 1u);
    EXPECT_EQ(h.applied[0].result, ConfigResult::failed(message));
    EXPECT_EQ(h.applied[0].requestID, 4u);
    EXPECT_EQ(h.settingsChanges.back(), baseSettings());
    EXPECT_EQ(*h.manager->applied(), before);
}

TEST(SessionConfigurationManager, FailedRollbackKeepsTheAppliedConfiguration) {
    Harness h;
    const auto before = *h.manager->applied();
    auto sixty = h.manager->settings();
    sixty.fps = 60;
    h.manager->schedule(sixty, Origin::local());
    h.main.runUntilIdle();
    h.target->completeStream(std::unexpected(std::string("encoder died")));
    h.main.runUntilIdle();
    h.target->completeStream(std::unexpected(std::string("still dead")));
    h.main.runUntilIdle();
    EXPECT_EQ(h.states.back().kind, ApplyState::Kind::failed);
    EXPECT_EQ(*h.manager->applied(), before);
    EXPECT_FALSE(h.manager->isBusy());
}

TEST(SessionConfigurationManager, WithoutAPipelineSettingsAreOnlyStored) {
    Harness h(false);
    h.manager->schedule(h.with(DisplaySize::huge), Origin::local());
    h.main.runUntilIdle();
    EXPECT_TRUE(h.target->calls.empty());
    EXPECT_TRUE(h.applied.empty()) << "nothing is sent to the device";
    EXPECT_EQ(h.states.back(), ApplyState::succeeded("Changed: Display size: Huge Text"));
    EXPECT_EQ(h.manager->settings().displaySize, DisplaySize::huge);
}

TEST(SessionConfigurationManager, SwitchingToAutoResetsTheControllerForTheLink) {
    for (const auto kind : {TransportKind::wifi, TransportKind::usb}) {
        Harness h;
        auto smooth = h.manager->settings();
        smooth.quality = QualityMode::smooth;
        h.manager->schedule(smooth, Origin::local());
        h.main.runUntilIdle();
        h.manager->setTransport(kind);
        h.main.runUntilIdle();
        while (!h.target->pendingStream.empty())
            h.target->completeStream();
        while (!h.target->pendingDisplay.empty())
            h.target->completeDisplay();
        h.main.runUntilIdle();
        auto autoSettings = h.manager->settings();
        autoSettings.quality = QualityMode::automatic;
        h.manager->schedule(autoSettings, Origin::local());
        h.main.runUntilIdle();
        EXPECT_EQ(h.manager->currentTier(), kind == TransportKind::usb ? QualityTier::ultra : QualityTier::clear);
    }
}

TEST(SessionConfigurationManager, AutoQualityStepsDownThroughTheEncoderOnly) {
    Harness h;
    auto autoSettings = h.manager->settings();
    autoSettings.quality = QualityMode::automatic;
    h.manager->schedule(autoSettings, Origin::local());
    h.main.runUntilIdle();
    ASSERT_EQ(h.target->calls.back().level, "encoder"); // standard -> clear is a bit-rate change
    h.target->calls.clear();
    h.main.advance(10s);
    for (int i = 0; i < 3; ++i) {
        h.manager->ingest(statsOf(0.2, 30), 0);
        h.main.advance(1s);
    }
    ASSERT_EQ(h.target->calls.size(), 1u);
    EXPECT_EQ(h.target->calls[0].level, "encoder");
    EXPECT_EQ(h.target->calls[0].configuration.tier, QualityTier::standard);
    EXPECT_EQ(h.states.back(), ApplyState::succeeded("Auto quality: Standard"));
    EXPECT_EQ(h.manager->applied()->bitrate, 8'000'000);
}

TEST(SessionConfigurationManager, IngestIsIgnoredWithFixedQualityOrDuringAnApply) {
    Harness fixed;
    for (int i = 0; i < 10; ++i)
        fixed.manager->ingest(statsOf(0.5, 300), i);
    fixed.main.runUntilIdle();
    EXPECT_TRUE(fixed.target->calls.empty());

    Harness busy;
    auto autoSettings = busy.with(DisplaySize::larger);
    autoSettings.quality = QualityMode::automatic;
    busy.manager->schedule(autoSettings, Origin::local());
    busy.main.runUntilIdle();
    ASSERT_TRUE(busy.manager->isBusy());
    const auto tier = busy.manager->autoQuality().tier;
    for (int i = 0; i < 10; ++i)
        busy.manager->ingest(statsOf(0.5, 300), 0);
    EXPECT_EQ(busy.manager->autoQuality().tier, tier);
    EXPECT_TRUE(busy.manager->autoQuality().rtts.empty()) << "the controller was not fed";
}

TEST(SessionConfigurationManager, CompatibilityFallbackIsRememberedForLaterResolutions) {
    Harness h;
    auto larger = h.with(DisplaySize::larger); // 1024x768 on this screen; pretend the system refuses it
    h.manager->schedule(larger, Origin::local());
    h.main.runUntilIdle();
    auto requested = h.target->pendingDisplay.front().first;
    auto effective = requested;
    effective.logicalWidth = 1086;
    effective.logicalHeight = 814;
    effective.compatibilityNote = "compat.retina|1024×768|1086×814";
    h.manager->noteDisplayResult(requested, effective);
    h.target->completeDisplay(effective);
    h.main.runUntilIdle();
    EXPECT_EQ(h.manager->applied()->logicalWidth, 1086);

    h.manager->schedule(h.with(DisplaySize::standard), Origin::local());
    h.main.runUntilIdle();
    h.target->completeDisplay();
    h.main.runUntilIdle();
    h.manager->schedule(h.with(DisplaySize::larger), Origin::local());
    h.main.runUntilIdle();
    ASSERT_FALSE(h.target->pendingDisplay.empty());
    EXPECT_EQ(h.target->pendingDisplay.front().first.logicalWidth, 1086) << "the refused mode is not asked for again";
    EXPECT_EQ(h.target->pendingDisplay.front().first.compatibilityNote, "compat.retina|1024×768|1086×814");
}

TEST(SessionConfigurationManager, EndDropsResultsOfTheOldPipeline) {
    Harness h;
    h.manager->schedule(h.with(DisplaySize::huge), Origin::client(1));
    h.main.runUntilIdle();
    h.manager->end();
    EXPECT_EQ(h.states.back(), ApplyState::idle());
    h.target->completeDisplay();
    h.main.runUntilIdle();
    EXPECT_FALSE(h.manager->applied().has_value()) << "a late result does not resurrect the configuration";
    EXPECT_TRUE(h.applied.empty());
    EXPECT_FALSE(h.manager->isBusy());
}

TEST(SessionConfigurationManager, OriginTexts) {
    EXPECT_EQ(Origin::client(7).text(), "device #7");
    EXPECT_EQ(Origin::automatic("Standard: x").text(), "auto (Standard: x)");
    EXPECT_EQ(Origin::system("orientation portrait").text(), "orientation portrait");
    EXPECT_EQ(Origin::local().text(), "mac");
}
