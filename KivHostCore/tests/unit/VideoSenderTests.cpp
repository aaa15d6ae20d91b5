#include <gtest/gtest.h>

#include "KivHostCore/Testing/FakeHostTransport.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"
#include "KivHostCore/Transport/VideoSender.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

EncodedFrame frame(std::size_t bytes, bool key = false) {
    return EncodedFrame{Bytes(bytes, key ? 1 : 0), key, 0};
}

struct Harness {
    ManualExecutor queue;
    std::shared_ptr<PerformanceMonitor> monitor = std::make_shared<PerformanceMonitor>(queue);
    std::shared_ptr<VideoSender> sender = VideoSender::create(queue, monitor);
    std::shared_ptr<FakeHostTransport> link = std::make_shared<FakeHostTransport>();
    int keyframeRequests = 0;

    Harness() {
        KivLogStore::shared().clear();
        sender->onNeedKeyframe = [this] { ++keyframeRequests; };
        sender->setTransport(link);
        sender->updateBitrate(8'000'000);
        queue.runUntilIdle();
    }
    void send(EncodedFrame f) {
        sender->send(std::move(f));
        queue.runUntilIdle();
    }
    HostMetrics metrics() { return monitor->sample(); }
};

} // namespace

TEST(VideoSender, WaitsForAKeyframeThenSendsWithinTheBudget) {
    Harness h;
    h.send(frame(1000));
    EXPECT_TRUE(h.link->frames.empty()) << "waiting for a keyframe after a link change";
    h.send(frame(300'000, true)); // may start at 0 in flight and go above the budget
    h.send(frame(1000));
    ASSERT_EQ(h.link->frames.size(), 1u);
    EXPECT_EQ(h.sender->queueState(), (std::pair<std::int64_t, std::int64_t>{300'000, 1}));
    h.link->completeOldest();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.link->frames.size(), 2u) << "the completion let the queued frame go";
    EXPECT_EQ(h.metrics().skippedSendFrames, 1);
}

TEST(VideoSender, OverflowDropsTheBacklogAsksForAKeyframeAndSkipsUntilOneComes) {
    Harness h;
    h.send(frame(300'000, true)); // fills the budget; nothing completes from here on
    for (int i = 0; i < 4; ++i)
        h.send(frame(1000));
    EXPECT_EQ(h.keyframeRequests, 1);
    auto m = h.metrics();
    EXPECT_EQ(m.droppedSendFrames, 4);
    EXPECT_EQ(test::countLogged("Send backlog overflow on Wi-Fi (in-flight 292KB > budget 256KB): dropped queued "
                                "frames, waiting for keyframe"),
              1);
    h.send(frame(1000));
    h.send(frame(1000));
    EXPECT_EQ(h.metrics().skippedSendFrames, 2);
    h.send(frame(5000, true));
    EXPECT_EQ(h.link->frames.size(), 1u) << "the keyframe is queued behind the budget, not skipped";
    EXPECT_EQ(h.sender->queueState().second, 1);
}

TEST(VideoSender, KeyframeSupersedesQueuedFrames) {
    Harness h;
    h.send(frame(300'000, true));
    h.send(frame(1000));
    h.send(frame(1000));
    h.send(frame(2000, true));
    EXPECT_EQ(h.metrics().skippedSendFrames, 2);
    h.link->completeOldest();
    h.queue.runUntilIdle();
    ASSERT_EQ(h.link->frames.size(), 2u);
    EXPECT_TRUE(h.link->frames[1].isKeyframe) << "the keyframe goes first";
}

TEST(VideoSender, OverflowWarningsAreThrottledToThreePerFiveSeconds) {
    Harness h;
    auto overflow = [&] {
        h.send(frame(300'000, true));
        for (int i = 0; i < 4; ++i)
            h.send(frame(10));
    };
    for (int i = 0; i < 5; ++i)
        overflow();
    EXPECT_EQ(test::countLogged("Send backlog overflow"), 3);
    h.queue.advance(5s);
    overflow();
    EXPECT_EQ(test::countLogged("(2 send backlog events suppressed)"), 1);
    EXPECT_EQ(test::countLogged("Send backlog overflow"), 4);
    EXPECT_EQ(h.keyframeRequests, 6) << "every overflow asks for a keyframe, logged or not";
}

TEST(VideoSender, RefusedSendsAndStaleCompletionsDoNotCorruptTheState) {
    Harness h;
    // A link without video yet refuses: the sender waits for a keyframe without asking for one.
    h.link->refuse = true;
    h.link->videoReady = false;
    h.send(frame(1000, true));
    EXPECT_EQ(h.keyframeRequests, 0);
    // A link with video that refuses this frame (too large for it): a drop and a keyframe request.
    h.link->videoReady = true;
    h.send(frame(1000, true));
    h.link->refuse = false;
    h.send(frame(1000));
    EXPECT_TRUE(h.link->frames.empty()) << "a refused frame makes the sender wait for a keyframe";
    EXPECT_EQ(h.keyframeRequests, 1);
    EXPECT_EQ(h.metrics().droppedSendFrames, 1);

    // Bytes the link dropped (a full socket buffer): the device cannot decode on, so ask again.
    h.send(frame(1000, true));
    h.send(frame(1000));
    h.link->completeOldest(false);
    h.link->completeOldest(true);
    h.queue.runUntilIdle();
    EXPECT_EQ(h.keyframeRequests, 2);
    EXPECT_TRUE(test::countLogged("Video frame lost: part of a frame was dropped by the link; waiting for keyframe") ==
                1);
    h.send(frame(1000));
    EXPECT_EQ(h.link->frames.size(), 2u) << "nothing more until the keyframe";
    EXPECT_EQ(h.sender->queueState().first, 0) << "the dropped bytes left the in-flight count";

    h.send(frame(200'000, true));
    auto next = std::make_shared<FakeHostTransport>(TransportKind::usb, "usb-link");
    h.sender->setTransport(next);
    h.queue.runUntilIdle();
    h.link->completeOldest(); // a late completion from the old link
    h.queue.runUntilIdle();
    EXPECT_EQ(h.sender->queueState().first, 0);
    h.send(frame(100, true));
    EXPECT_EQ(h.sender->queueState().first, 100);
}

TEST(VideoSender, RefinementReplacesTheQueueAndPauseDiscardsFrames) {
    Harness h;
    h.send(frame(300'000, true));
    h.send(frame(10));
    h.sender->sendRefinement(frame(50'000, false));
    h.queue.runUntilIdle();
    EXPECT_EQ(h.sender->queueState().second, 1) << "a non-key refinement frame is ignored";
    h.sender->sendRefinement(frame(50'000, true));
    h.queue.runUntilIdle();
    EXPECT_EQ(h.metrics().skippedSendFrames, 1) << "the queued frame gave way to the refinement";
    h.send(frame(10));
    EXPECT_EQ(h.metrics().skippedSendFrames, 2) << "ordinary frames are skipped until the next keyframe";
    h.link->completeOldest();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.link->frames.back().data.size(), 50'000u);

    h.sender->setPaused(true);
    h.send(frame(10, true));
    EXPECT_EQ(h.link->frames.size(), 2u);
    h.link->videoReady = false;
    h.sender->setPaused(false);
    h.send(frame(10, true));
    EXPECT_EQ(h.link->frames.size(), 2u) << "a link without a video client gets nothing";
}
