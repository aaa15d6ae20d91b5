#include <gtest/gtest.h>

#include "KivProtocol/ControlMessage.hpp"
#include "KivProtocol/SessionSettings.hpp"

using namespace kiv;

TEST(DisplaySize, StepsFactorsAndTexts) {
    EXPECT_FALSE(biggerText(DisplaySize::huge).has_value());
    EXPECT_FALSE(moreSpaceStep(DisplaySize::mostSpace).has_value());
    EXPECT_EQ(biggerText(DisplaySize::standard), DisplaySize::larger);
    EXPECT_EQ(moreSpaceStep(DisplaySize::standard), DisplaySize::moreSpace);
    EXPECT_DOUBLE_EQ(logicalFactor(DisplaySize::extraLarge), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(logicalFactor(DisplaySize::moreSpace), 1.40625);
    EXPECT_TRUE(enlargesText(DisplaySize::large));
    EXPECT_FALSE(enlargesText(DisplaySize::larger));
    EXPECT_EQ(title(DisplaySize::standard), "Default");
    EXPECT_EQ(detail(DisplaySize::standard), "About 56% more desktop space than 1:1.");
    EXPECT_EQ(detail(DisplaySize::moreSpace), "About 98% more desktop space than 1:1; smaller text.");
    EXPECT_EQ(detail(DisplaySize::mostSpace), "125% more desktop space than 1:1; the smallest text.");
    EXPECT_EQ(toText(QualityMode::automatic), "auto");
    EXPECT_EQ(fromText<QualityMode>("auto"), QualityMode::automatic);
}

TEST(QualityTier, OrderTablesAndModeMapping) {
    EXPECT_EQ(tierFor(QualityMode::automatic), QualityTier::clear);
    EXPECT_EQ(tierFor(QualityMode::smooth), QualityTier::smooth);
    EXPECT_TRUE(QualityTier::emergency < QualityTier::smooth);
    EXPECT_FALSE(QualityTier::ultra < QualityTier::clear);
    EXPECT_EQ(baseBitrate(QualityTier::standard), 8'000'000);
    EXPECT_EQ(baseBitrate(QualityTier::standard, TransportKind::usb), 20'000'000);
    EXPECT_EQ(baseBitrate(QualityTier::ultra, TransportKind::wifi), 20'000'000);
    EXPECT_EQ(baseBitrate(QualityTier::emergency, TransportKind::usb), 8'000'000);
    EXPECT_DOUBLE_EQ(streamScale(QualityTier::emergency), 0.75);
    EXPECT_DOUBLE_EQ(refinementQuality(QualityTier::ultra), 0.90);
    EXPECT_EQ(title(QualityTier::emergency), "Smooth (low bandwidth)");
}

TEST(AudioRouteAndFps, Titles) {
    EXPECT_EQ(title(AudioRoute::host, "Tablet"), "This Computer");
    EXPECT_EQ(title(AudioRoute::device, "iPad"), "iPad");
    EXPECT_EQ(title(AudioRoute::both, "Tablet"), "Tablet + This Computer");
    EXPECT_TRUE(streamsToDevice(AudioRoute::both));
    EXPECT_FALSE(mutesHost(AudioRoute::both));
    EXPECT_TRUE(mutesHost(AudioRoute::device));
    EXPECT_EQ(fpsTitle(0), "Auto");
    EXPECT_EQ(fpsTitle(60), "60 FPS");
    EXPECT_EQ(fpsTitle(30, true), "30 FPS · Lower Resolution");
    EXPECT_EQ(fpsTitle(30, false), "30 FPS");
}

TEST(DisplayConfigurationText, SuffixesAppearOnlyWhenTheyApply) {
    DisplayConfiguration plain{1920, 1080, 1,    1920,  1080, 60, 8'000'000, QualityTier::standard,
                               0.0,  1920, 1080, false, {}};
    EXPECT_EQ(plain.text(),
              "logical 1920×1080@1x (backing 1920×1080) → stream 1920×1080@60 8.0Mbps tier=standard refine=off");

    DisplayConfiguration all{1366, 1024,         2,    2732, 2048, 30, 12'500'000, QualityTier::clear, 0.85,
                             2048, std::nullopt, true, {}};
    all.compatibilityNote = "compat.nonRetina|a|b";
    EXPECT_EQ(all.text(),
              "logical 1366×1024@2x (backing 2732×2048) → stream 2732×2048@30 (reduced for decoder; refine "
              "2048×2048) (minimum desktop) (compat: compat.nonRetina|a|b) 12.5Mbps tier=clear refine=0.85");
}

TEST(SessionSettingsJson, AudioDefaultsToMacButFpsIsRequired) {
    const auto with = [](const std::string& settings) {
        return decodeControlMessage(
            R"({"configApplied":{"_0":{"settings":)" + settings +
            R"(,"configuration":{"logicalWidth":1,"logicalHeight":1,"scaleFactor":1,"streamWidth":1,
            "streamHeight":1,"fps":1,"bitrate":1,"tier":"smooth","refinementQuality":0},"result":{"ok":{}}}}})");
    };
    auto noAudio = with(R"({"displaySize":"huge","quality":"clear","fps":30,"staticRefinement":false})");
    ASSERT_TRUE(noAudio) << noAudio.error().message;
    EXPECT_EQ(noAudio->get<ConfigApplied>()->settings.audio, AudioRoute::host);
    EXPECT_FALSE(with(R"({"displaySize":"huge","quality":"clear","staticRefinement":false,"audio":"both"})"));
    EXPECT_FALSE(with(R"({"displaySize":"tiny","quality":"clear","fps":30,"staticRefinement":false})"));
}
