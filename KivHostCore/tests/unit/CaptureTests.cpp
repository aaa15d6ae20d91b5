// The capture manager's lookup retries and damage-driven pacing over a scripted grabber.
#include <gtest/gtest.h>

#include "KivHostCore/Linux/DamageRecency.hpp"
#include "KivHostCore/Linux/RowBands.hpp"
#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Testing/LogProbe.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

class FakeGrabber final : public ScreenGrabber {
public:
    std::expected<void, CaptureError> open(Executor&) override {
        if (denied) return std::unexpected(CaptureError::permissionDenied());
        return {};
    }
    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t>) override {
        ++lookups;
        if (lookups < listedAt) return std::nullopt;
        return where;
    }
    void watch(ScreenRect rect, GrabberEvents handlers) override {
        watched = rect;
        events = std::move(handlers);
    }
    void onChanged(bool fresh = false) { events.changed(fresh); }
    bool grab(ScreenRect rect, PixelBuffer&, bool) override {
        grabbedRect = rect;
        ++grabs;
        return !failGrabs;
    }
    void close() override { closed = true; }

    bool denied = false;
    int listedAt = 1;
    int lookups = 0;
    int grabs = 0;
    bool closed = false;
    bool failGrabs = false;
    std::optional<ScreenRect> where = ScreenRect{1920, 0, 1280, 800}; // nothing: the display is gone
    std::optional<ScreenRect> grabbedRect;
    ScreenRect watched;
    GrabberEvents events;
};

struct Harness {
    ManualExecutor queue;
    FakeGrabber* grabber = nullptr;
    std::shared_ptr<ScreenCaptureManager> capture;
    std::vector<MonotonicTime> frames;
    std::optional<std::expected<void, CaptureError>> started;
    std::vector<std::optional<CaptureError>> stops;

    explicit Harness(int listedAt = 1, bool denied = false) {
        auto fake = std::make_unique<FakeGrabber>();
        fake->listedAt = listedAt;
        fake->denied = denied;
        grabber = fake.get();
        capture = ScreenCaptureManager::create(std::move(fake), queue, nullptr);
        capture->onFrame = [this](std::shared_ptr<PixelBuffer>, std::uint64_t) { frames.push_back(queue.now()); };
        capture->onStop = [this](std::optional<CaptureError> error) { stops.push_back(std::move(error)); };
        capture->start(42, 640, 400, 30, [this](std::expected<void, CaptureError> result) { started = result; });
        queue.runUntilIdle();
    }
};

} // namespace

TEST(ScreenCaptureManager, DisplayLookupRetriesThirtyTimesThenFails) {
    Harness late(10);
    late.queue.advance(899ms);
    EXPECT_FALSE(late.started.has_value());
    late.queue.advance(1ms);
    ASSERT_TRUE(late.started.has_value());
    EXPECT_TRUE(late.started->has_value()) << "listed at the 10th lookup";
    EXPECT_EQ(late.grabber->grabbedRect, (ScreenRect{1920, 0, 1280, 800}));

    Harness never(1000);
    never.queue.advance(10s);
    ASSERT_TRUE(never.started.has_value());
    EXPECT_EQ(never.started->error(), CaptureError::displayNotFound(42));
    EXPECT_EQ(never.grabber->lookups, 30);
    EXPECT_EQ(never.started->error().text(), "ScreenCaptureKit can't find display 42");

    Harness denied(1, true);
    ASSERT_TRUE(denied.started.has_value());
    EXPECT_EQ(denied.started->error().kind, CaptureError::Kind::permissionDenied);
}

TEST(ScreenCaptureManager, ChangesAreGrabbedAMomentAfterTheyComeWithinABudgetNearTheFrameRate) {
    Harness h; // 30 fps: a 33.3 ms interval, a budget of one picture per 29.6 ms and two at once
    const Duration spacing(static_cast<Duration::rep>(33'333 / ScreenCaptureManager::kRateAllowance));
    ASSERT_EQ(h.frames.size(), 1u) << "the first picture does not wait for a change";
    h.queue.advance(1s);
    EXPECT_EQ(h.frames.size(), 1u) << "nothing changes, nothing is delivered";

    const auto settle = ScreenCaptureManager::kDamageSettle;
    h.grabber->onChanged();
    h.queue.advance(settle - 1us);
    EXPECT_EQ(h.frames.size(), 1u) << "the rest of the drawing gets a moment to land";
    h.queue.advance(1us);
    ASSERT_EQ(h.frames.size(), 2u) << "a change long after the last grab is grabbed that moment later";

    h.queue.advance(3ms);
    h.grabber->onChanged();
    h.grabber->onChanged(); // a burst of damage makes one grab
    h.queue.advance(settle);
    ASSERT_EQ(h.frames.size(), 3u) << "a second picture at once: the budget holds two";
    const auto third = h.frames.back();
    h.grabber->onChanged();
    h.queue.advance(spacing - 3ms - settle - 1us);
    EXPECT_EQ(h.frames.size(), 3u) << "a third waits until the budget has room again";
    h.queue.advance(1us);
    ASSERT_EQ(h.frames.size(), 4u);
    EXPECT_EQ(h.frames.back() - third, spacing - 3ms - settle);

    // An animation at the frame rate, and a change between two of its pictures now and then: the
    // change does not wait for the animation's next picture.
    h.queue.advance(1s);
    std::vector<Duration> waits;
    for (int frame = 0; frame < 90; ++frame) {
        const auto frameStart = h.queue.now();
        h.grabber->onChanged();
        if (frame % 10 == 5) { // 3 changes a second over 30 pictures: within the allowance
            h.queue.advance(15ms);
            const auto before = h.frames.size();
            const auto changedAt = h.queue.now();
            h.grabber->onChanged();
            while (h.frames.size() == before)
                h.queue.advance(1ms);
            waits.push_back(h.queue.now() - changedAt);
        }
        h.queue.advance(frameStart + 33'333us - h.queue.now());
    }
    ASSERT_EQ(waits.size(), 9u);
    for (const auto wait : waits)
        EXPECT_LE(wait, 2ms);

    // A picture that never stops changing: at most the budget's rate.
    const auto before = h.frames.size();
    for (int ms = 0; ms < 3000; ++ms) {
        h.grabber->onChanged();
        h.queue.advance(1ms);
    }
    EXPECT_GE(h.frames.size() - before, 95u);
    EXPECT_LE(h.frames.size() - before, 103u);

    h.capture->stop();
    EXPECT_TRUE(h.grabber->closed);
    const auto stopped = h.frames.size();
    h.grabber->onChanged();
    h.queue.advance(1s);
    EXPECT_EQ(h.frames.size(), stopped) << "nothing after stop";
}

// A 30 fps stream of a screen where something moves at 60 Hz has its budget always spent: a key
// typed there must not wait for the animation's next slot, and the stream's rate must hold.
TEST(ScreenCaptureManager, AFreshChangeGoesAheadOfAnAnimationThatSpendsTheBudgetAndTheRateHolds) {
    Harness h; // 30 fps
    const Duration spacing(static_cast<Duration::rep>(33'333 / ScreenCaptureManager::kRateAllowance));
    const auto settle = ScreenCaptureManager::kDamageSettle;
    h.queue.advance(1s);
    const auto animate = [&](Duration length, auto&& between) {
        const auto end = h.queue.now() + length;
        while (h.queue.now() < end) {
            const auto frameStart = h.queue.now();
            h.grabber->onChanged(false);
            between(frameStart);
            h.queue.advance(frameStart + 16'667us - h.queue.now());
        }
    };
    std::vector<Duration> waits;
    int frame = 0;
    const auto before = h.frames.size();
    animate(3s, [&](MonotonicTime frameStart) {
        if (++frame % 12 != 0) return; // five keys a second, at every phase of the animation
        h.queue.advance(Duration((frame * 1'373) % 16'000));
        const auto count = h.frames.size();
        const auto typedAt = h.queue.now();
        h.grabber->onChanged(true);
        while (h.frames.size() == count && h.queue.now() < frameStart + 16'600us)
            h.queue.advance(100us);
        waits.push_back(h.frames.size() > count ? h.queue.now() - typedAt : 1s);
    });
    ASSERT_EQ(waits.size(), 15u);
    for (const auto wait : waits)
        EXPECT_LE(wait, settle + 100us) << "grabbed when it came, not at the animation's next slot";
    const auto grabbed = static_cast<std::int64_t>(h.frames.size() - before);
    EXPECT_LE(grabbed, 3s / spacing + 2) << "the fresh pictures took the animation's slots";
    EXPECT_GE(grabbed, 3s / spacing - 2);

    // Everything fresh all the time (a screen of particles): still the budget's rate.
    const auto again = h.frames.size();
    for (int ms = 0; ms < 3000; ++ms) {
        h.grabber->onChanged(true);
        h.queue.advance(1ms);
    }
    EXPECT_LE(static_cast<std::int64_t>(h.frames.size() - again), 3s / spacing + 2);
}

TEST(DamageRecency, SomethingMovingIsNotFreshAChangeElsewhereOrLaterIs) {
    DamageRecency recency;
    recency.reset(1920, 1080);
    DamageRecency::Clock::time_point now{1h};
    EXPECT_TRUE(recency.note(100, 700, 80, 300, now)) << "a bar that starts to move";
    now += 16ms;
    EXPECT_TRUE(recency.note(116, 700, 80, 300, now)) << "its next picture may be the rest of that change";
    for (int step = 2; step < 30; ++step) {
        now += 16ms;
        EXPECT_FALSE(recency.note(100 + 16 * step, 700, 80, 300, now)) << "its next pictures, step " << step;
    }
    EXPECT_TRUE(recency.note(900, 100, 20, 30, now)) << "a key typed elsewhere meanwhile";
    EXPECT_FALSE(recency.note(500, 900, 600, 20, now)) << "a redraw over the bar's tiles is no key of its own";
    now += 150ms;
    EXPECT_TRUE(recency.note(920, 100, 20, 30, now)) << "the next key, a moment later";
    EXPECT_TRUE(recency.note(900, 120, 40, 10, now + 5ms)) << "the rest of its drawing, after a grab took the first";
    EXPECT_FALSE(recency.note(930, 110, 40, 10, now + 40ms)) << "the key's caret blinking on it is not";
    EXPECT_TRUE(recency.note(1900, 1060, 500, 500, now)) << "clipped to the area: its corner is fresh";
    EXPECT_FALSE(recency.note(2000, 1100, 50, 50, now)) << "wholly outside: not a change of the area";
    recency.reset(1920, 1080);
    EXPECT_TRUE(recency.note(900, 100, 20, 30, now)) << "a new area forgets the old";
}

TEST(ScreenCaptureManager, TheRectangleFollowsItsDisplayWhenTheDesktopIsLaidOutAgain) {
    KivLogStore::shared().clear();
    Harness h;
    h.queue.advance(1s);
    h.grabber->where = ScreenRect{3200, 0, 1280, 800}; // another device's display arrived to the left
    h.grabber->events.layoutChanged();
    h.queue.runUntilIdle();
    EXPECT_EQ(h.grabber->watched, (ScreenRect{3200, 0, 1280, 800})) << "damage is watched at the new place";
    EXPECT_EQ(h.grabber->grabbedRect, (ScreenRect{3200, 0, 1280, 800}));
    EXPECT_EQ(h.frames.size(), 2u) << "the picture is grabbed again at once";
    EXPECT_EQ(test::countLogged("Capture follows display=42 to input 1280x800 pixels at 3200,0", test::Match::exactly),
              1);
    h.grabber->events.layoutChanged(); // nothing moved
    h.queue.runUntilIdle();
    EXPECT_EQ(h.frames.size(), 2u);
    EXPECT_TRUE(h.stops.empty());
}

TEST(ScreenCaptureManager, AGoneDisplayFailingGrabsAndALostDesktopEndTheSourceThroughOnStop) {
    {
        Harness h; // unlisted for a moment while the layout is rebuilt: kept
        h.grabber->where.reset();
        h.grabber->events.layoutChanged();
        h.queue.advance(2s);
        h.grabber->where = ScreenRect{0, 0, 1280, 800};
        h.queue.advance(1s);
        EXPECT_TRUE(h.stops.empty());
        EXPECT_EQ(h.grabber->grabbedRect, (ScreenRect{0, 0, 1280, 800}));
    }
    {
        Harness h; // gone for good
        h.grabber->where.reset();
        h.grabber->events.layoutChanged();
        h.queue.advance(2'899ms);
        EXPECT_TRUE(h.stops.empty());
        h.queue.advance(1ms);
        ASSERT_EQ(h.stops.size(), 1u);
        EXPECT_EQ(h.stops[0], CaptureError::displayNotFound(42));
        EXPECT_TRUE(h.grabber->closed);
    }
    {
        Harness h; // grabs fail: retried every frame interval, then the source ends
        h.grabber->failGrabs = true;
        h.grabber->onChanged();
        h.queue.advance(Duration(33'333 * 4));
        EXPECT_TRUE(h.stops.empty());
        h.queue.advance(Duration(33'333));
        ASSERT_EQ(h.stops.size(), 1u);
        EXPECT_EQ(h.stops[0]->kind, CaptureError::Kind::startFailed);
        EXPECT_EQ(h.grabber->grabs, 1 + ScreenCaptureManager::kMaxGrabFailures);
        h.queue.advance(1s);
        EXPECT_EQ(h.grabber->grabs, 1 + ScreenCaptureManager::kMaxGrabFailures) << "no grabs after the end";
    }
    {
        Harness h; // the X server went away
        h.grabber->events.lost("lost the connection to the X server", 1);
        h.queue.runUntilIdle();
        ASSERT_EQ(h.stops.size(), 1u);
        EXPECT_EQ(h.stops[0]->text(), "Screen capture couldn't start: lost the connection to the X server");
        h.capture->onStop = nullptr;
        h.capture->stop(); // already ended: nothing more
        EXPECT_EQ(h.stops.size(), 1u);
    }
}

// What a grab fetches and converts: changes far apart stay apart, and nothing is ever lost when
// bands are joined.
TEST(RowBands, FarChangesStayApartNearOnesJoinAndNoPixelIsLost) {
    using Bands = std::vector<RowBand>;
    RowBands rows;
    rows.add({900, 1000, 0, 1920}); // a video near the bottom
    rows.add({40, 60, 100, 110});   // a key typed near the top
    rows.add({300, 320, 500, 600});
    EXPECT_EQ(rows.bands(), (Bands{{40, 60, 100, 110}, {300, 320, 500, 600}, {900, 1000, 0, 1920}}));
    rows.add({65, 70, 120, 130}); // within the join distance of the first: their columns join too
    rows.add({310, 905, 50, 60}); // overlaps two
    rows.add({10, 5, 0, 10});     // empty
    rows.add({10, 20, 7, 7});     // empty
    EXPECT_EQ(rows.bands(), (Bands{{40, 70, 100, 130}, {300, 1000, 0, 1920}}));
    EXPECT_EQ(rows.within(50, 50, 1000, 600).bands(), (Bands{{0, 20, 50, 80}, {250, 600, 0, 1000}}));

    // Beside each other in the same rows: a key typed left of a video, a pointer right of it.
    RowBands beside;
    beside.add({300, 660, 1100, 1740}); // the video
    beside.add({400, 420, 100, 112});   // the key
    beside.add({500, 520, 1800, 1812}); // the pointer
    EXPECT_EQ(beside.bands(), (Bands{{300, 660, 1100, 1740}, {400, 420, 100, 112}, {500, 520, 1800, 1812}}));
    beside.add({410, 430, 1750, 1760}); // within the join distance of the video's side
    EXPECT_EQ(beside.bands(), (Bands{{300, 660, 1100, 1760}, {400, 420, 100, 112}, {500, 520, 1800, 1812}}));

    // More bands than kept: the two whose joining adds the fewest pixels become one, every changed
    // pixel still covered.
    RowBands many;
    const Bands changes{{1500, 1510, 0, 5}, {100, 110, 30, 40},     {1000, 1004, 8, 9}, {400, 420, 0, 100},
                        {700, 701, 60, 70}, {1800, 1900, 200, 300}, {130, 135, 35, 45}};
    for (const auto& change : changes)
        many.add(change);
    ASSERT_LE(many.bands().size(), RowBands::kMaxBands);
    for (std::size_t i = 0; i < many.bands().size(); ++i)
        for (std::size_t j = 0; j < many.bands().size(); ++j) {
            const auto& a = many.bands()[i];
            const auto& b = many.bands()[j];
            if (j > i) {
                EXPECT_TRUE(b.from - a.to > RowBands::kJoin || a.from - b.to > RowBands::kJoin ||
                            b.left - a.right > RowBands::kJoin || a.left - b.right > RowBands::kJoin)
                    << "apart: " << i << ", " << j;
            }
            if (j == i + 1) {
                EXPECT_LE(a.from, b.from) << "in order";
            }
        }
    for (const auto& change : changes) {
        const bool covered = std::any_of(many.bands().begin(), many.bands().end(), [&](const RowBand& band) {
            return band.from <= change.from && change.to <= band.to && band.left <= change.left &&
                   change.right <= band.right;
        });
        EXPECT_TRUE(covered) << "rows " << change.from << ".." << change.to;
    }
    EXPECT_LT(many.pixels(), 300LL * 1800 / 4) << "not one box around every change";
}

// What a grabber says changed: numbered pictures, the rows it fetched scaled into the picture's
// pixels with the scaler's reach, nothing known after a failed grab or for a whole new picture;
// a picture skipped before encoding hands its changes to the one that replaces it.
TEST(PictureChanges, NumberedScaledAndFoldedIntoTheNextWhenAPictureIsSkipped) {
    PixelBuffer out(960, 540); // a 1920x1080 source at half size
    PictureNumbering numbering;
    const auto first = numbering.next(RowBands(100, 120, 200, 400), false, 1920, 1080, out);
    EXPECT_FALSE(first.known) << "nothing before it";
    const auto second = numbering.next(RowBands(100, 120, 200, 400), false, 1920, 1080, out);
    ASSERT_TRUE(second.known);
    EXPECT_EQ(second.since, first.serial);
    EXPECT_GT(second.serial, first.serial);
    EXPECT_EQ(second.rects, (std::vector<PictureChanges::Rect>{{98, 48, 203, 63}}));
    auto lost = numbering.take(); // a grab that fails forgets
    (void)lost;
    EXPECT_FALSE(numbering.next(RowBands(0, 10, 0, 10), false, 1920, 1080, out).known);
    EXPECT_FALSE(numbering.next(RowBands(0, 10, 0, 10), true, 1920, 1080, out).known) << "a whole new picture";

    auto third = numbering.next(RowBands(0, 10, 0, 10), false, 1920, 1080, out);
    auto fourth = numbering.next(RowBands(500, 510, 0, 10), false, 1920, 1080, out);
    fourth.absorb(third);
    ASSERT_TRUE(fourth.known);
    EXPECT_EQ(fourth.since, third.since) << "relative to what the skipped one was relative to";
    EXPECT_EQ(fourth.rects.size(), 2u);
    auto fifth = numbering.next(RowBands(0, 10, 0, 10), false, 1920, 1080, out);
    fifth.absorb(third); // not the picture it follows
    EXPECT_FALSE(fifth.known);
    EXPECT_TRUE(fifth.rects.empty());
}
