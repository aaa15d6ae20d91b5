// The stream pipeline's generations over the fake desktop and encoder: a replaced start still
// answers its caller but never counts as running, and an old generation's stop report goes nowhere.
#include <gtest/gtest.h>

#include "KivHostCore/Service/StreamPipeline.hpp"
#include "KivHostCore/Testing/FakeHostPlatform.hpp"

namespace {

using namespace kiv;

struct Piped {
    ManualExecutor main;
    FakeHostPlatform platform{main};
    std::unique_ptr<Executor> videoQueue = platform.ports.makeQueue("kiv.video", false);
    std::shared_ptr<StreamPipeline> stream = StreamPipeline::create(
        FrameSourceKind::screenCapture, platform.ports, main, nullptr, VideoSender::create(*videoQueue, nullptr));
    int running = 0, stopping = 0;
    std::vector<std::optional<CaptureError>> stops;

    Piped() {
        stream->onRunning = [this] { ++running; };
        stream->beforeStop = [this] { ++stopping; };
        stream->onSourceStopped = [this](std::optional<CaptureError> e) { stops.push_back(std::move(e)); };
    }
};

DisplayConfiguration stream(std::int64_t bitrate) {
    DisplayConfiguration c;
    c.logicalWidth = c.streamWidth = 640;
    c.logicalHeight = c.streamHeight = 480;
    c.scaleFactor = 1;
    c.fps = 30;
    c.bitrate = bitrate;
    return c;
}

TEST(StreamPipeline, AReplacedStartAnswersButOnlyTheLatestRunsAndOnlyItsStopIsReported) {
    Piped p;
    std::vector<bool> answered;
    p.stream->start(std::nullopt, stream(4'000'000), [&](StreamPipeline::Result r) { answered.push_back(!!r); });
    p.stream->start(std::nullopt, stream(8'000'000), [&](StreamPipeline::Result r) { answered.push_back(!!r); });
    p.main.runUntilIdle();
    EXPECT_EQ(answered, (std::vector<bool>{true, true}));
    EXPECT_EQ(p.running, 1);
    EXPECT_EQ(p.stopping, 1) << "the first generation, when the second replaced it";
    ASSERT_TRUE(p.stream->isRunning());
    EXPECT_EQ(p.stream->configuration()->bitrate, 8'000'000);

    p.platform.desktop->lose(); // both grabbers hear it; only the running one's report counts
    p.main.runUntilIdle();
    ASSERT_EQ(p.stops.size(), 1u);
    ASSERT_TRUE(p.stops[0].has_value());

    p.stream->stop();
    p.stream->stop();
    EXPECT_EQ(p.stopping, 2);
    EXPECT_FALSE(p.stream->configuration());
}

TEST(StreamPipeline, AnEncoderThatCannotOpenIsAStreamErrorNotACaptureOne) {
    Piped p;
    p.platform.encoders.refuse = true;
    std::optional<StreamPipeline::Result> result;
    p.stream->start(std::nullopt, stream(4'000'000), [&](StreamPipeline::Result r) { result = std::move(r); });
    p.main.runUntilIdle();
    ASSERT_TRUE(result && !*result);
    EXPECT_FALSE(result->error().isCapture);
    EXPECT_FALSE(p.stream->isRunning());
    EXPECT_EQ(p.running, 0);
}

} // namespace
