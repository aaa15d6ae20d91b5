// Synthetic frames and the encoder's admission, keyframe and pts rules, in virtual time.
#include <deque>
#include <future>
#include <gtest/gtest.h>

#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Media/H264Encoder.hpp"
#include "KivHostCore/Media/StaticRefiner.hpp"
#include "KivHostCore/Media/SyntheticFrameSource.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/FakeEventPoster.hpp"
#include "KivHostCore/Testing/FakeHostPlatform.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Testing/Signal.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"

using namespace kiv;
using namespace std::chrono_literals;

TEST(SyntheticFrameSource, DrawsTheSpecifiedPattern) {
    PixelBuffer buffer(320, 180);
    SyntheticFrameSource::draw(buffer, 3);
    for (const int y : {0, 45, 179}) {
        const auto* row = buffer.luma() + y * 320;
        const int gradient = 16 + y * 200 / 180;
        EXPECT_EQ(row[0], gradient) << y;
        EXPECT_EQ(row[47], gradient);
        EXPECT_EQ(row[48], 235) << "the bar starts at 3 x 16";
        EXPECT_EQ(row[167], 235);
        EXPECT_EQ(row[168], gradient) << "and is 120 wide";
    }
    EXPECT_EQ(buffer.chroma()[0], 101);
    EXPECT_EQ(buffer.chroma()[320 * 90 - 1], 101);
    SyntheticFrameSource::draw(buffer, 19); // 19 x 16 = 304: the bar is cut at the right edge
    EXPECT_EQ(buffer.luma()[303], 16);
    EXPECT_EQ(buffer.luma()[304], 235);
    EXPECT_EQ(buffer.luma()[319], 235);
    SyntheticFrameSource::draw(buffer, 61);
    EXPECT_EQ(buffer.chroma()[0], 99) << "chroma cycles every 60 frames";
}

TEST(SyntheticFrameSource, HoldsStillThenResumesOnTheTicksGiven) {
    const auto framesOver = [](std::optional<std::int64_t> staticTicks, Duration span) {
        ManualExecutor queue;
        auto source = SyntheticFrameSource::create(queue, nullptr, 30, staticTicks);
        std::vector<MonotonicTime> times;
        source->onFrame = [&](std::shared_ptr<PixelBuffer>, std::uint64_t) { times.push_back(queue.now()); };
        source->start(std::nullopt, 64, 36, 30, {});
        queue.advance(span);
        source->stop();
        return times;
    };
    const auto resuming = framesOver(60, 4s);
    ASSERT_GE(resuming.size(), 31u);
    const Duration tick(1'000'000 / 30);
    EXPECT_EQ(resuming[29] - resuming[0], 29 * tick);
    EXPECT_EQ(resuming[30] - resuming[0], 90 * tick) << "tick 91 resumes";
    EXPECT_EQ(framesOver(std::nullopt, 10s).size(), 30u) << "still for good";

    ManualExecutor queue;
    auto slow = SyntheticFrameSource::create(queue, nullptr);
    int frames = 0;
    slow->onFrame = [&](std::shared_ptr<PixelBuffer>, std::uint64_t) { ++frames; };
    slow->start(std::nullopt, 16, 16, 0, {});
    queue.advance(2'500ms);
    EXPECT_EQ(frames, 3) << "fps 0 ticks once a second";
    slow->stop();
    queue.advance(5s);
    EXPECT_EQ(frames, 3) << "nothing after stop";
}

namespace {

struct EncoderHarness {
    ManualExecutor queue;
    FakeEncoderFactory factory;
    std::shared_ptr<PerformanceMonitor> monitor = std::make_shared<PerformanceMonitor>(queue);
    std::shared_ptr<H264Encoder> encoder;
    std::vector<EncodedFrame> out;

    explicit EncoderHarness(int fps = 30) {
        encoder = *H264Encoder::create({64, 64, fps, 8'000'000, 2.0, std::nullopt}, factory, queue, monitor);
        encoder->onEncoded = [this](EncodedFrame frame) { out.push_back(std::move(frame)); };
    }
    std::shared_ptr<PixelBuffer> buffer() { return std::make_shared<PixelBuffer>(64, 64); }
};

} // namespace

TEST(H264Encoder, ANewerPictureReplacesTheWaitingOneAndPtsStrictlyIncrease) {
    EncoderHarness h;
    h.encoder->encode(h.buffer(), 100);
    h.encoder->encode(h.buffer(), 100);
    EXPECT_EQ(h.encoder->inFlight(), 2);
    h.encoder->encode(h.buffer(), 50); // a third while one waits: it takes the waiting one's place
    EXPECT_EQ(h.monitor->sample().droppedCaptureFrames, 1);
    EXPECT_EQ(h.encoder->inFlight(), 2);
    h.queue.runUntilIdle();
    ASSERT_EQ(h.out.size(), 2u);
    EXPECT_EQ(h.out[1].captureTimeUs, 50u) << "the newest picture is encoded, not the one it replaced";

    // What the replaced picture changed is not in the encoder's reference: the newer one says it.
    auto skipped = h.buffer();
    auto newer = h.buffer();
    skipped->changes = {true, 8, 7, {{0, 0, 16, 16}}};
    newer->changes = {true, 9, 8, {{32, 32, 48, 48}}};
    h.encoder->encode(h.buffer(), 60);
    h.encoder->encode(skipped, 61);
    h.encoder->encode(newer, 62);
    h.queue.runUntilIdle();
    EXPECT_EQ(newer->changes.since, 7u);
    EXPECT_EQ(newer->changes.rects, (std::vector<PictureChanges::Rect>{{32, 32, 48, 48}, {0, 0, 16, 16}}));
    h.out.resize(2);
    h.encoder->encode(h.buffer(), 50);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.factory.last->pts, (std::vector<std::uint64_t>{100, 101, 102, 103, 104}));
    EXPECT_EQ(h.out[2].captureTimeUs, 50u) << "the frame keeps its capture time; only pts is adjusted";
    h.queue.advance(1s);
    EXPECT_DOUBLE_EQ(h.monitor->sample().encodeFPS, 5.0) << "five frames encoded since the last sample, over 1 s";
    EXPECT_EQ(h.encoder->inFlight(), 0);
}

// Pausing, resizing and ending a stream invalidate the encoder from the main thread, which must
// not wait for an encode or for the backend to close.
TEST(H264Encoder, InvalidateReturnsAtOnceAndNothingIsReportedAfterIt) {
    KivLogStore::shared().clear();
    EncoderHarness h;
    h.encoder->encode(h.buffer(), 100);
    h.encoder->encode(h.buffer(), 200);
    h.encoder->invalidate();
    EXPECT_FALSE(test::logged("Encoder stopped")) << "the backend closes later, on the encoder's queue";
    h.queue.runUntilIdle();
    EXPECT_TRUE(h.out.empty()) << "frames queued before invalidate() are dropped, not reported";
    EXPECT_EQ(h.encoder->inFlight(), 0);
    EXPECT_TRUE(test::logged("Encoder stopped"));
    h.encoder->encode(h.buffer(), 300);
    h.queue.runUntilIdle();
    EXPECT_TRUE(h.out.empty());
}

TEST(H264Encoder, KeyframeRequestsOnAStillScreenReencodeTheLastPicture) {
    EncoderHarness h;
    h.encoder->requestKeyframe();
    h.queue.runUntilIdle();
    h.queue.advance(1s);
    EXPECT_TRUE(h.factory.last->pts.empty()) << "no picture yet: only the flag is set";
    h.encoder->encode(h.buffer(), 1000);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.factory.last->forced, (std::vector<bool>{true})) << "the first frame carries the keyframe";

    h.encoder->requestKeyframe();
    h.queue.runUntilIdle();
    h.queue.advance(Duration(2'000'000 / 30 - 1));
    EXPECT_EQ(h.factory.last->forced.size(), 1u);
    h.queue.advance(1us);
    ASSERT_EQ(h.factory.last->forced.size(), 2u) << "re-submitted after two frame times";
    EXPECT_TRUE(h.factory.last->forced.back());

    h.encoder->requestKeyframe();
    h.queue.runUntilIdle();
    h.encoder->encode(h.buffer(), 5'000'000);
    h.queue.advance(1s);
    EXPECT_EQ(h.factory.last->forced.size(), 3u) << "a new frame took the keyframe: no re-submit";
    EXPECT_TRUE(h.factory.last->forced.back());

    h.encoder->setBitrate(2'000'000);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.factory.last->bitrates, (std::vector<std::int64_t>{2'000'000}));
    h.encoder->invalidate();
    h.encoder->setBitrate(3'000'000);
    h.encoder->requestKeyframe();
    h.encoder->encode(h.buffer(), 9'000'000);
    h.queue.advance(1s);
    EXPECT_EQ(h.out.size(), 3u) << "nothing after invalidate";
    EXPECT_EQ(h.encoder->inFlight(), 0) << "admitted frames are released";
}

TEST(H264Encoder, AStreakOfFailedEncodesIsReportedOnceAndTheEncoderKeepsTrying) {
    EncoderHarness h;
    std::vector<std::int32_t> reports;
    h.encoder->onFailure = [&](std::int32_t status) { reports.push_back(status); };
    const auto encodeOne = [&] {
        h.encoder->encode(h.buffer(), 0);
        h.queue.runUntilIdle();
    };
    h.factory.last->failWith = -12;
    for (int i = 1; i < H264Encoder::kFailureReportThreshold; ++i)
        encodeOne();
    EXPECT_TRUE(reports.empty());
    encodeOne();
    encodeOne();
    EXPECT_EQ(reports, (std::vector<std::int32_t>{-12})) << "once per streak";
    EXPECT_EQ(h.encoder->inFlight(), 0) << "failed frames are released";
    h.factory.last->failWith.reset();
    encodeOne();
    EXPECT_EQ(h.out.size(), 1u) << "still encoding";
    h.factory.last->failWith = -5;
    for (int i = 0; i < H264Encoder::kFailureReportThreshold; ++i)
        encodeOne();
    EXPECT_EQ(reports, (std::vector<std::int32_t>{-12, -5})) << "a success starts a new streak";
}

namespace {
struct RefinerHarness {
    ManualExecutor queue{"kiv.refiner"};
    ManualExecutor encoderQueue{"kiv.encoder"};
    FakeEncoderFactory factory;
    std::shared_ptr<StaticRefiner> refiner;
    std::vector<std::string> events;

    explicit RefinerHarness(double quality = 0.85) {
        refiner = StaticRefiner::create(2048, 1536, {quality, 0.4, 1.5, 16384}, queue, factory, encoderQueue);
        refiner->onNeedMainKeyframe = [this] { events.push_back("needKeyframe"); };
        refiner->onRefined = [this](EncodedFrame frame) {
            events.push_back(frame.isKeyframe ? "refined(key)" : "refined");
        };
        refiner->noteCaptured(std::make_shared<PixelBuffer>(64, 64));
        run();
    }
    // Lets both queues work until neither has anything left.
    void run() {
        while (queue.runUntilIdle() + encoderQueue.runUntilIdle() > 0) {
        }
    }
    void advance(Duration by) {
        const auto target = queue.now() + by;
        while (true) {
            run();
            const auto next = queue.nextPendingDelay();
            if (!next || queue.now() + *next > target) break;
            queue.advance(*next);
            encoderQueue.advance(*next);
        }
        encoderQueue.advance(target - queue.now());
        queue.advance(target - queue.now());
        run();
    }
    void main(std::int64_t bytes, bool key) {
        refiner->noteMainFrameEncoded(bytes, key);
        run();
    }
};
} // namespace

TEST(StaticRefiner, OneRefinementPerStillPeriodAndEveryMainKeyframeIsRefinedAgain) {
    RefinerHarness h;
    h.main(50'000, true);
    h.advance(399ms);
    EXPECT_TRUE(h.events.empty());
    h.advance(1ms);
    EXPECT_EQ(h.events, (std::vector<std::string>{"needKeyframe", "refined(key)"}));
    ASSERT_NE(h.factory.last, nullptr);
    EXPECT_EQ(h.factory.lastOptions.quality, 0.85);
    EXPECT_EQ(h.factory.lastOptions.width, 2048) << "refinements at the refinement size";
    // The keyframe the refiner asked for arrives with the next change and puts a soft picture on
    // the device: once still again (and 1.5 s after the last refinement) it is refined too.
    h.main(60'000, true);
    h.advance(1'499ms);
    EXPECT_EQ(h.events.size(), 2u);
    h.advance(1ms);
    EXPECT_EQ(h.events.size(), 4u);
    h.advance(5s);
    EXPECT_EQ(h.events.size(), 4u) << "a still screen is refined once";
    const auto [count, bytes, skipped] = h.refiner->takeStats();
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bytes, 10);
    EXPECT_EQ(skipped, 0);
}

TEST(StaticRefiner, SmallChangesAreSkippedAndRefinementsKeepTheirMinimumInterval) {
    RefinerHarness h;
    h.main(100'000, true);
    h.advance(400ms);
    ASSERT_EQ(h.events.size(), 2u);
    h.main(6'000, false);
    h.main(4'000, false);
    h.advance(1s);
    EXPECT_EQ(std::get<2>(h.refiner->takeStats()), 1) << "10,000 bytes of change: skipped";
    EXPECT_EQ(h.events.size(), 2u);

    // A refinement at 0.4 s; enough change at 1.0 s makes the idle timer fire at 1.4 s, 1.0 s after
    // the previous refinement, so it waits another 0.5 s.
    RefinerHarness late;
    late.main(100'000, true);
    late.advance(1s);
    late.main(20'000, false);
    late.advance(400ms);
    EXPECT_EQ(late.events.size(), 2u) << "1.0 s after the previous refinement: not yet";
    late.advance(499ms);
    EXPECT_EQ(late.events.size(), 2u);
    late.advance(1ms);
    EXPECT_EQ(late.events.size(), 4u) << "1.5 s after the previous refinement";
}

TEST(StaticRefiner, AMainFrameDuringTheEncodeMakesTheRefinementStale) {
    RefinerHarness h;
    h.main(100'000, true);
    h.queue.advance(400ms); // the idle timer fires and hands the picture to the encoder queue
    ASSERT_GT(h.encoderQueue.pendingTasks(), 0u);
    h.refiner->noteMainFrameEncoded(30'000, false);
    h.queue.runUntilIdle();
    h.run();
    EXPECT_TRUE(h.events.empty()) << "discarded: the screen changed while encoding";
}

TEST(StaticRefiner, QualityZeroIsOffUntilUpdated) {
    RefinerHarness h(0);
    h.main(100'000, true);
    h.advance(2s);
    EXPECT_TRUE(h.events.empty());
    EXPECT_EQ(h.factory.last, nullptr) << "no encoder was ever made";
    h.refiner->update(0.85);
    h.main(100'000, true);
    h.advance(400ms);
    EXPECT_EQ(h.events.size(), 2u);
    h.refiner->invalidate();
    h.main(100'000, true);
    h.advance(2s);
    EXPECT_EQ(h.events.size(), 2u);
}

// The periodic report runs on the main thread: reading a component's statistics must not wait for
// its queue, however long the work in front of it takes.
TEST(Statistics, AreReadWithoutWaitingForABusyQueue) {
    SerialQueue busy("kiv.test.busy", SerialQueue::ownThread);
    test::Signal release;
    test::Signal blocked;
    busy.async([&] {
        blocked.notify();
        release.waitFor();
    });
    ASSERT_TRUE(blocked.waitFor());
    FakeEncoderFactory factory;
    auto sender = VideoSender::create(busy, nullptr);
    auto refiner = StaticRefiner::create(64, 64, {}, busy, factory, busy);
    auto input = InputEventManager::create(
        busy, std::make_shared<FakeEventPoster>(), [](std::uint32_t) { return std::nullopt; }, nullptr,
        [] { return 0.0; });
    auto reads = std::async(std::launch::async, [&] {
        sender->queueState();
        refiner->takeStats();
        input->takeStats();
    });
    const bool answered = reads.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    release.notify();
    EXPECT_TRUE(answered) << "a statistics read waited for the busy queue";
    EXPECT_TRUE(busy.sync([] {}));
}
