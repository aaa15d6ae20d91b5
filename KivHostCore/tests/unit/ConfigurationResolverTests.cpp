#include <gtest/gtest.h>

#include "KivHostCore/Service/ConfigurationResolver.hpp"

using namespace kiv;
namespace R = ConfigurationResolver;

namespace {
SessionSettings settingsOf(DisplaySize size, std::int64_t fps = 0, bool refine = true) {
    return SessionSettings{size, QualityMode::automatic, fps, refine, AudioRoute::host};
}
ScreenInfo screenOf(std::int64_t w, std::int64_t h, Orientation o = Orientation::landscape) {
    return {w, h, 2.0, o};
}

struct Example {
    const char* name;
    SessionSettings settings;
    std::optional<ScreenInfo> screen;
    QualityTier tier;
    TransportKind transport;
    std::int64_t recommendedFPS;
    std::optional<std::int64_t> decoder;
    std::optional<R::StreamCap> cap;
    // expected
    std::int64_t logicalW, logicalH, streamW, streamH, fps, bitrate;
    std::optional<bool> limited;
    std::optional<std::int64_t> refineW, refineH;
};
} // namespace

TEST(ConfigurationResolver, WorkedExamplesAndEdgeCases) {
    const auto s2048 = screenOf(2048, 1536);
    const auto s2732 = screenOf(2732, 2048);
    const std::vector<Example> examples{
        // Each: a name; settings, screen, tier, link, recommended rate, decoder, cap; what they resolve to.
        // clang-format off
        {"2048 standard",
         settingsOf(DisplaySize::standard), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         1280, 960, 2048, 1536, 30, 8'000'000, {}, {}, {}},
        {"2048 larger",
         settingsOf(DisplaySize::larger), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         1024, 768, 2048, 1536, 30, 8'000'000, {}, {}, {}},
        {"2048 large",
         settingsOf(DisplaySize::large), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         818, 614, 1636, 1228, 30, 5'109'171, {}, {}, {}},
        {"2048 huge",
         settingsOf(DisplaySize::huge), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         800, 600, 1600, 1200, 30, 4'882'812, true, {}, {}},
        {"2048 extraLarge",
         settingsOf(DisplaySize::extraLarge), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         800, 600, 1600, 1200, 30, 4'882'812, true, {}, {}},
        {"2732 huge",
         settingsOf(DisplaySize::huge), s2732, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         800, 600, 1600, 1200, 30, 4'882'812, true, {}, {}},
        {"2732 ultra usb",
         settingsOf(DisplaySize::standard), s2732, QualityTier::ultra, TransportKind::usb, 120, {}, {},
         1708, 1280, 2732, 2048, 60, 88'932'291, {}, {}, {}},
        {"2732 decoder",
         settingsOf(DisplaySize::larger, 60), s2732, QualityTier::ultra, TransportKind::usb, 30, 245'760, {},
         1366, 1024, 1168, 880, 60, 16'337'076, {}, 2732, 2048},
        {"no screen emergency",
         settingsOf(DisplaySize::standard, 0, false), std::nullopt, QualityTier::emergency, TransportKind::wifi, 30, {}, {},
         1280, 960, 1536, 1152, 30, 1'687'500, {}, {}, {}},
        {"portrait",
         settingsOf(DisplaySize::standard), screenOf(1536, 2048, Orientation::portrait), QualityTier::standard, TransportKind::wifi, 30, {}, {},
         960, 1280, 1536, 2048, 30, 8'000'000, {}, {}, {}},
        {"portrait from landscape numbers",
         settingsOf(DisplaySize::standard), screenOf(2048, 1536, Orientation::portrait), QualityTier::standard, TransportKind::wifi, 30, {}, {},
         960, 1280, 1536, 2048, 30, 8'000'000, {}, {}, {}},
        {"mostSpace",
         settingsOf(DisplaySize::mostSpace), s2732, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         2048, 1536, 2732, 2048, 30, 14'229'166, {}, {}, {}},
        {"stream cap",
         settingsOf(DisplaySize::larger), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, R::StreamCap{1920, 1080},
         1024, 768, 1440, 1080, 30, 3'955'078, {}, {}, {}},
        {"decoder limit met",
         settingsOf(DisplaySize::larger), s2048, QualityTier::standard, TransportKind::wifi, 30, 10'000'000, {},
         1024, 768, 2048, 1536, 30, 8'000'000, {}, {}, {}},
        {"degenerate screen",
         settingsOf(DisplaySize::larger), screenOf(0, 5), QualityTier::standard, TransportKind::wifi, 30, {}, {},
         1024, 768, 2048, 1536, 30, 8'000'000, {}, {}, {}},
        {"fps 60 on wifi",
         settingsOf(DisplaySize::larger, 60), s2048, QualityTier::standard, TransportKind::wifi, 30, {}, {},
         1024, 768, 2048, 1536, 60, 8'000'000, {}, {}, {}},
        {"auto fps on wifi ignores 120",
         settingsOf(DisplaySize::larger, 0), s2048, QualityTier::standard, TransportKind::wifi, 120, {}, {},
         1024, 768, 2048, 1536, 30, 8'000'000, {}, {}, {}},
        {"fps 120 on a 120 Hz screen",
         settingsOf(DisplaySize::larger, 120), s2048, QualityTier::standard, TransportKind::wifi, 120, {}, {},
         1024, 768, 2048, 1536, 120, 8'000'000, {}, {}, {}},
        {"fps 120 on a 60 Hz screen gives 60",
         settingsOf(DisplaySize::larger, 120), s2048, QualityTier::standard, TransportKind::usb, 60, {}, {},
         1024, 768, 2048, 1536, 60, 20'000'000, {}, {}, {}},
        {"fps 45 gives 30",
         settingsOf(DisplaySize::larger, 45), s2048, QualityTier::standard, TransportKind::usb, 120, {}, {},
         1024, 768, 2048, 1536, 30, 20'000'000, {}, {}, {}},
        {"huge 4K long side held at 2560 points",
         settingsOf(DisplaySize::mostSpace), screenOf(3840, 2160), QualityTier::standard, TransportKind::wifi, 30, {}, {},
         2560, 1440, 2732, 1536, 30, 10'671'875, {}, {}, {}},
        // clang-format on
    };
    for (const auto& e : examples) {
        SCOPED_TRACE(e.name);
        const auto c = R::resolve(e.settings, e.screen, e.tier, e.cap, e.recommendedFPS, e.transport, e.decoder);
        EXPECT_EQ(c.logicalWidth, e.logicalW);
        EXPECT_EQ(c.logicalHeight, e.logicalH);
        EXPECT_EQ(c.scaleFactor, 2);
        EXPECT_EQ(c.streamWidth, e.streamW);
        EXPECT_EQ(c.streamHeight, e.streamH);
        EXPECT_EQ(c.fps, e.fps);
        EXPECT_EQ(c.bitrate, e.bitrate);
        EXPECT_EQ(c.limitedByMinimumDesktop, e.limited);
        EXPECT_EQ(c.refinementWidth, e.refineW);
        EXPECT_EQ(c.refinementHeight, e.refineH);
        EXPECT_FALSE(c.compatibilityNote.has_value());
        EXPECT_EQ(c.tier, e.tier);
        EXPECT_DOUBLE_EQ(c.refinementQuality, e.settings.staticRefinement ? refinementQuality(e.tier) : 0.0);
    }
}

TEST(ConfigurationResolver, BitRateHasAFloorOfOneMegabit) {
    const auto c = R::resolve(settingsOf(DisplaySize::larger), screenOf(400, 300), QualityTier::emergency,
                              R::StreamCap{100, 100}, 30, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(c.bitrate, 1'000'000);
    EXPECT_GE(c.streamWidth, 2);
}

TEST(ConfigurationResolver, AMirroredDesktopKeepsItsAspectAndMeetsTheDecoderAndTheRate) {
    const auto wanted = R::resolve(settingsOf(DisplaySize::standard), screenOf(2048, 1536), QualityTier::standard,
                                   std::nullopt, 30, TransportKind::wifi, std::nullopt);
    // A 4K desktop: no larger than the device's own stream, the aspect kept (not cut out of it).
    auto m = R::resolveMirror(wanted, 3840, 2160, std::nullopt, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(m.logicalWidth, m.logicalHeight, m.scaleFactor), std::tuple(3840, 2160, 1));
    EXPECT_EQ(std::tuple(m.streamWidth, m.streamHeight), std::tuple(2048, 1152));
    EXPECT_EQ(m.bitrate, 6'000'000) << "the tier's rate for these pixels";
    EXPECT_EQ(m.fps, wanted.fps);
    const auto large = R::resolve(settingsOf(DisplaySize::standard), screenOf(2732, 2048), QualityTier::standard,
                                  std::nullopt, 30, TransportKind::wifi, std::nullopt);
    m = R::resolveMirror(large, 3840, 2160, std::nullopt, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(m.streamWidth, m.streamHeight), std::tuple(2732, 1536)) << "the longest stream any gets";
    m = R::resolveMirror(R::resolve(settingsOf(DisplaySize::standard), screenOf(1080, 1920), QualityTier::standard,
                                    std::nullopt, 30, TransportKind::wifi, std::nullopt),
                         3840, 2160, std::nullopt, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(m.streamWidth, m.streamHeight), std::tuple(1920, 1080)) << "a phone held upright";
    // A device's cap and its decoder apply as to its own display.
    m = R::resolveMirror(wanted, 3840, 2160, R::StreamCap{1920, 1200}, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(m.streamWidth, m.streamHeight), std::tuple(1920, 1080));
    m = R::resolveMirror(wanted, 1920, 1080, std::nullopt, TransportKind::wifi, 108'000 / 2);
    EXPECT_EQ(std::tuple(m.streamWidth, m.streamHeight), std::tuple(896, 496));
    EXPECT_EQ(std::tuple(m.refinementWidth, m.refinementHeight), std::tuple(1920, 1080));
}

// A desktop that draws a HiDPI monitor at fewer pixels per point than its 2× backing: the stream
// is the drawn size, not an upscale of it to the device's pixels.
TEST(ConfigurationResolver, AStreamIsNoLargerThanTheDesktopDrawsItsMonitor) {
    const auto resolve = [](ScreenInfo screen, QualityTier tier, std::optional<std::int64_t> decoder = {}) {
        return R::resolve(settingsOf(DisplaySize::standard), screen, tier, std::nullopt, 30, TransportKind::wifi,
                          decoder);
    };
    const auto large = resolve(screenOf(2732, 2048), QualityTier::standard);
    ASSERT_EQ(std::tuple(large.logicalWidth, large.logicalHeight, large.streamWidth, large.streamHeight),
              std::tuple(1708, 1280, 2732, 2048));
    auto d = R::fitToDrawn(large, 1708, 1280, std::nullopt, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(d.streamWidth, d.streamHeight), std::tuple(1708, 1280)) << "a 1× desktop";
    EXPECT_EQ(d.bitrate, 5'559'895) << "the tier's rate for these pixels";
    EXPECT_FALSE(d.refinementWidth.has_value()) << "nothing sharper to refine to";
    EXPECT_EQ(std::tuple(d.logicalWidth, d.logicalHeight, d.scaleFactor, d.fps), std::tuple(1708, 1280, 2, 30));
    EXPECT_EQ(R::fitToDrawn(large, 3416, 2560, std::nullopt, TransportKind::wifi, std::nullopt), large)
        << "a 2× desktop draws more than the device shows";
    EXPECT_EQ(R::fitToDrawn(large, 2732, 2048, std::nullopt, TransportKind::wifi, std::nullopt), large);

    const auto upright = resolve(screenOf(2048, 2732, Orientation::portrait), QualityTier::standard);
    d = R::fitToDrawn(upright, 1280, 1708, std::nullopt, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(d.streamWidth, d.streamHeight), std::tuple(1280, 1708));
    d = R::fitToDrawn(resolve(screenOf(2732, 2048), QualityTier::emergency), 1708, 1280, std::nullopt,
                      TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(d.streamWidth, d.streamHeight), std::tuple(1280, 960)) << "the tier's scale still applies";
    // The device's cap and its decoder apply to the drawn size; refinement stops at the drawing.
    d = R::fitToDrawn(large, 1708, 1280, R::StreamCap{1280, 1024}, TransportKind::wifi, std::nullopt);
    EXPECT_EQ(std::tuple(d.streamWidth, d.streamHeight), std::tuple(1280, 958));
    constexpr std::int64_t kDecoder = 54'000; // macroblocks a second: 1800 a picture at 30 fps
    const auto limited = resolve(screenOf(2732, 2048), QualityTier::standard, kDecoder);
    ASSERT_TRUE(limited.refinementWidth.has_value());
    d = R::fitToDrawn(limited, 1708, 1280, std::nullopt, TransportKind::wifi, kDecoder);
    EXPECT_EQ(std::tuple(d.streamWidth, d.streamHeight), std::tuple(768, 576));
    EXPECT_EQ(std::tuple(d.refinementWidth, d.refinementHeight), std::tuple(1708, 1280));
}

TEST(ConfigurationResolver, ClassifyOrdersTheStepsAndIgnoresNotes) {
    const auto base = R::resolve(settingsOf(DisplaySize::standard), screenOf(2048, 1536), QualityTier::standard, {}, 30,
                                 TransportKind::wifi, {});
    EXPECT_EQ(R::classify(base, base), R::Level::none);
    auto noted = base;
    noted.compatibilityNote = "compat.retina|a|b";
    noted.limitedByMinimumDesktop = true;
    EXPECT_EQ(R::classify(base, noted), R::Level::none);
    auto refine = base;
    refine.refinementWidth = base.streamWidth;
    EXPECT_EQ(R::classify(base, refine), R::Level::none) << "absent equals the stream size";
    refine.refinementWidth = base.streamWidth + 16;
    EXPECT_EQ(R::classify(base, refine), R::Level::stream);
    auto encoder = base;
    encoder.bitrate += 1;
    EXPECT_EQ(R::classify(base, encoder), R::Level::encoder);
    auto stream = encoder;
    stream.fps = 60;
    EXPECT_EQ(R::classify(base, stream), R::Level::stream);
    auto display = stream;
    display.scaleFactor = 1;
    EXPECT_EQ(R::classify(base, display), R::Level::display);
    EXPECT_EQ(R::toText(R::Level::display), "display");
}

TEST(ConfigurationResolver, CompatibilityLadder) {
    auto config = R::resolve(settingsOf(DisplaySize::standard), screenOf(2048, 1536), QualityTier::standard, {}, 30,
                             TransportKind::wifi, {});
    config.logicalWidth = 2400;
    config.logicalHeight = 1800;
    const auto ladder = R::compatibilityLadder(config);
    ASSERT_EQ(ladder.size(), 2u);
    EXPECT_EQ(ladder[0].logicalWidth, 2544);
    EXPECT_EQ(ladder[0].logicalHeight, 1908);
    EXPECT_EQ(ladder[0].scaleFactor, 2);
    EXPECT_EQ(ladder[0].compatibilityNote, "compat.retina|2400×1800|2544×1908");
    EXPECT_EQ(ladder[1].scaleFactor, 1);
    EXPECT_EQ(ladder[1].logicalWidth, 2048) << "non-Retina at the stream size";
    EXPECT_EQ(ladder[1].logicalHeight, 1536);
    EXPECT_EQ(ladder[1].compatibilityNote, "compat.nonRetina|2400×1800|2048×1536");

    auto small = config;
    small.logicalWidth = 1366;
    small.logicalHeight = 1024;
    small.streamWidth = 600;
    small.streamHeight = 400;
    const auto full = R::compatibilityLadder(small);
    ASSERT_EQ(full.size(), 5u);
    EXPECT_EQ(full[0].logicalWidth, 1448);
    EXPECT_EQ(full[0].logicalHeight, 1086);
    EXPECT_EQ(full[3].logicalWidth, 2050);
    EXPECT_EQ(full[4].logicalWidth, 810) << "lifted to the 540-point minimum short side";
    EXPECT_EQ(full[4].logicalHeight, 540);
}
