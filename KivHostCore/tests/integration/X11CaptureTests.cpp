// Capture from a real X server (Xvfb started here): known drawings come back as the right NV12
// pixels, nothing arrives while nothing changes, the cursor is in the picture, scaling letterboxes.
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <libyuv.h>
#include <mutex>
#include <xcb/xcb.h>

#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "XWitness.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using test::Painter;

namespace {

struct CaptureRun {
    SerialQueue queue{"kiv.capture"};
    std::shared_ptr<ScreenCaptureManager> capture;
    std::mutex mutex;
    std::vector<std::shared_ptr<PixelBuffer>> frames;

    std::vector<std::optional<CaptureError>> stops; // guarded by mutex

    CaptureRun(const std::string& display, int width, int height) {
        capture = ScreenCaptureManager::create(std::make_unique<X11ScreenGrabber>(display), queue, nullptr);
        capture->onStop = [this](std::optional<CaptureError> error) {
            const std::lock_guard lock(mutex);
            stops.push_back(std::move(error));
        };
        capture->onFrame = [this](std::shared_ptr<PixelBuffer> buffer, std::uint64_t) {
            // Keep a copy: pool buffers are reused.
            auto copy = std::make_shared<PixelBuffer>(*buffer);
            const std::lock_guard lock(mutex);
            frames.push_back(std::move(copy));
        };
        std::atomic<bool> done{false};
        std::optional<std::expected<void, CaptureError>> result;
        capture->start(std::nullopt, width, height, 30, [&](std::expected<void, CaptureError> r) {
            result = r;
            done = true;
        });
        EXPECT_TRUE(test::waitUntil([&] { return done.load(); }, 20s));
        EXPECT_TRUE(result && result->has_value()) << (result && !result->has_value() ? result->error().text() : "");
    }
    ~CaptureRun() { capture->stop(); }
    std::size_t count() {
        const std::lock_guard lock(mutex);
        return frames.size();
    }
    std::shared_ptr<PixelBuffer> last() {
        const std::lock_guard lock(mutex);
        return frames.back();
    }
};

int lumaAt(const PixelBuffer& b, int x, int y) {
    return b.luma()[y * b.lumaStride() + x];
}

} // namespace

TEST(X11Capture, DrawingsArriveAsTheirColoursAndStillnessDeliversNothing) {
    auto server = test::XvfbServer::start(640, 480);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Painter painter((*server)->display());
    painter.pointer(600, 460);
    painter.fill(0x000000, 0, 0, 640, 480);

    CaptureRun run((*server)->display(), 640, 480);
    ASSERT_TRUE(test::waitUntil([&] { return run.count() >= 1; }, 20s));

    const auto before = run.count();
    painter.fill(0xFF0000, 100, 100, 200, 100); // red
    painter.fill(0xFFFFFF, 400, 300, 40, 40);   // white
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto frame = run.count() > before ? run.last() : nullptr;
            return frame && lumaAt(*frame, 420, 320) > 200 && lumaAt(*frame, 150, 150) > 60;
        },
        20s))
        << "the change is captured";
    const auto frame = run.last();
    EXPECT_NEAR(lumaAt(*frame, 150, 150), 82, 3) << "red in video-range luma";
    EXPECT_NEAR(lumaAt(*frame, 420, 320), 235, 2) << "white";
    EXPECT_NEAR(lumaAt(*frame, 10, 10), 16, 2) << "black";
    const auto* chroma = frame->chroma() + (150 / 2) * frame->chromaStride() + 150;
    EXPECT_GT(chroma[1], 200) << "red has a strong Cr";

    // Nothing changes: nothing is delivered (a bounded wait for something that must not happen).
    // A frame already on its way when the drawing landed may still arrive on a slow machine, so
    // first let the capture go quiet.
    auto settled = run.count();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto now = run.count();
            if (now != settled) {
                settled = now;
                return false;
            }
            return !test::waitUntil([&] { return run.count() != settled; }, 300ms);
        },
        20s))
        << "the capture goes quiet";
    const auto still = run.count();
    EXPECT_FALSE(test::waitUntil([&] { return run.count() > still; }, 500ms));

    // Only the damaged rows are fetched again: a thin band lands in its place, the rest is kept.
    painter.fill(0x0000FF, 0, 401, 640, 4); // blue
    ASSERT_TRUE(test::waitUntil([&] { return run.count() > still && lumaAt(*run.last(), 320, 402) < 60; }, 20s));
    EXPECT_NEAR(lumaAt(*run.last(), 320, 402), 41, 3) << "blue";
    EXPECT_NEAR(lumaAt(*run.last(), 150, 150), 82, 3) << "the red drawn before is still there";
    EXPECT_NEAR(lumaAt(*run.last(), 320, 398), 16, 2) << "and the black above the band";

    // Narrow changes come as rectangles of their own, each copied into its place; the cursor's
    // old place is fetched again once it has moved away, so it leaves nothing behind.
    int cursorBright = 0;
    for (int y = 455; y < 480; ++y)
        for (int x = 595; x < 640; ++x)
            cursorBright += lumaAt(*run.last(), x, y) > 100 ? 1 : 0;
    ASSERT_GT(cursorBright, 0) << "the cursor is in the picture to begin with";
    const auto narrow = run.count();
    painter.pointer(40, 440);
    painter.fill(0x00FF00, 500, 50, 30, 200); // green
    painter.fill(0xFFFFFF, 10, 300, 20, 20);
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const auto last = run.count() > narrow ? run.last() : nullptr;
            return last && lumaAt(*last, 515, 100) > 100 && lumaAt(*last, 20, 310) > 200;
        },
        20s));
    const auto after = run.last();
    EXPECT_NEAR(lumaAt(*after, 515, 100), 145, 3) << "green";
    EXPECT_NEAR(lumaAt(*after, 20, 310), 235, 2) << "white";
    for (const auto& [x, y] : {std::pair{494, 100}, {536, 100}, {515, 44}, {515, 256}, {36, 310}, {20, 294}})
        EXPECT_NEAR(lumaAt(*after, x, y), 16, 2) << "black beside the rectangles at " << x << "," << y;
    EXPECT_NEAR(lumaAt(*after, 320, 402), 41, 3) << "the blue band is kept";
    EXPECT_NEAR(lumaAt(*after, 150, 150), 82, 3) << "and the red";
    for (int y = 455; y < 480; ++y)
        for (int x = 595; x < 640; ++x)
            ASSERT_LE(lumaAt(*after, x, y), 20) << "no trace of the cursor at " << x << "," << y;
}

TEST(X11Capture, TheCursorIsCompositedAndScalingLetterboxes) {
    auto server = test::XvfbServer::start(640, 480);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Painter painter((*server)->display());
    painter.fill(0x000000, 0, 0, 640, 480);
    painter.pointer(320, 240);

    CaptureRun run((*server)->display(), 320, 320); // 4:3 into a square: bars above and below
    ASSERT_TRUE(test::waitUntil([&] { return run.count() >= 1; }, 20s));
    painter.fill(0xFFFFFF, 0, 0, 640, 20); // a white strip along the top of the screen
    ASSERT_TRUE(test::waitUntil([&] { return run.count() >= 2 && lumaAt(*run.last(), 160, 44) > 200; }, 20s));
    const auto frame = run.last();
    EXPECT_NEAR(lumaAt(*frame, 160, 10), 16, 2) << "letterbox bar";
    EXPECT_GT(lumaAt(*frame, 160, 44), 200) << "the top strip starts below the bar (offset 40, scale 0.5)";
    int bright = 0;
    for (int y = 150; y < 190; ++y) {
        for (int x = 150; x < 190; ++x)
            bright += lumaAt(*frame, x, y) > 100 ? 1 : 0;
    }
    EXPECT_GT(bright, 5) << "the cursor near the centre is part of the picture";
}

// The conversion runs in two bands side by side, and after a change only on the rows it reaches;
// the picture must be the one a single pass gives.
TEST(X11Capture, ConversionInBandsAndOfChangedRowsOnlyMatchesOnePass) {
    for (const auto& [inW, inH, outW, outH] :
         {std::array{1200, 700, 960, 600}, std::array{640, 360, 640, 360}, std::array{642, 3, 320, 2}}) {
        std::vector<std::uint8_t> bgra(static_cast<std::size_t>(inW * inH * 4));
        std::uint32_t seed = 7;
        for (auto& b : bgra)
            b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        PixelBuffer banded(outW, outH);
        X11ScreenGrabber::convert(bgra.data(), inW * 4, inW, inH, banded);

        PixelBuffer single(outW, outH);
        const double scale = std::min(double(outW) / inW, double(outH) / inH);
        const int fitW = std::max(2, static_cast<int>(std::lround(inW * scale)) & ~1);
        const int fitH = std::max(2, static_cast<int>(std::lround(inH * scale)) & ~1);
        const int x = ((outW - fitW) / 2) & ~1, y = ((outH - fitH) / 2) & ~1;
        std::memset(single.luma(), 16, static_cast<std::size_t>(outW * outH));
        std::memset(single.chroma(), 128, static_cast<std::size_t>(outW * outH / 2));
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(fitW * fitH * 4));
        libyuv::ARGBScale(bgra.data(), inW * 4, inW, inH, scaled.data(), fitW * 4, fitW, fitH, libyuv::kFilterBilinear);
        libyuv::ARGBToNV12(scaled.data(), fitW * 4, single.luma() + y * single.lumaStride() + x, single.lumaStride(),
                           single.chroma() + (y / 2) * single.chromaStride() + x, single.chromaStride(), fitW, fitH);
        int worst = 0;
        for (int row = 0; row < outH; ++row)
            for (int col = 0; col < outW; ++col)
                worst = std::max(worst, std::abs(lumaAt(banded, col, row) - lumaAt(single, col, row)));
        for (int row = 0; row < outH / 2; ++row)
            for (int col = 0; col < outW; ++col)
                worst = std::max(worst, std::abs(banded.chroma()[row * banded.chromaStride() + col] -
                                                 single.chroma()[row * single.chromaStride() + col]));
        EXPECT_LE(worst, 1) << inW << "x" << inH << " -> " << outW << "x" << outH;

        // A few rows change, then a small box: converting only what they reach gives the picture a
        // full pass gives.
        const int top = inH / 3, bottom = std::min(inH, inH / 3 + 5);
        const int left = inW / 5 + 1, right = std::min(inW, inW / 5 + 9);
        for (const auto& changed : {RowBand{top, bottom, 0, inW}, RowBand{top, bottom, left, right}}) {
            for (int row = changed.from; row < changed.to; ++row)
                for (int col = changed.left * 4; col < changed.right * 4; ++col)
                    bgra[static_cast<std::size_t>(row * inW * 4 + col)] =
                        static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
            X11ScreenGrabber::convert(bgra.data(), inW * 4, inW, inH, banded, changed);
            PixelBuffer fresh(outW, outH);
            X11ScreenGrabber::convert(bgra.data(), inW * 4, inW, inH, fresh);
            EXPECT_TRUE(std::equal(banded.luma(), banded.luma() + outW * outH, fresh.luma()) &&
                        std::equal(banded.chroma(), banded.chroma() + outW * outH / 2, fresh.chroma()))
                << "changed rows " << changed.from << ".." << changed.to << ", columns " << changed.left << ".."
                << changed.right << " of " << inW << "x" << inH << " -> " << outW << "x" << outH;
        }
    }
}

// Buffers come back from the encoder in any order: one that last held the picture of two grabs
// ago is brought up to date with both changes since, not only the last one.
TEST(X11Capture, ARecycledBufferGetsEveryChangeSinceItsOwnPicture) {
    auto server = test::XvfbServer::start(320, 240);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Painter painter((*server)->display());
    painter.pointer(319, 239);
    painter.fill(0x000000, 0, 0, 320, 240);
    SerialQueue queue("kiv.capture");
    X11ScreenGrabber grabber((*server)->display());
    ASSERT_TRUE(queue.sync([&] { ASSERT_TRUE(grabber.open(queue)); }));
    std::atomic<int> changes{0}, fresh{0};
    const ScreenRect all{0, 0, 320, 240};
    queue.sync([&] {
        grabber.watch(all, {.changed =
                                [&](bool isFresh) {
                                    fresh += isFresh ? 1 : 0;
                                    ++changes;
                                },
                            .layoutChanged = {},
                            .lost = {}});
    });
    PixelBuffer a(320, 240), b(320, 240);
    const auto grab = [&](PixelBuffer& into) { queue.sync([&] { EXPECT_TRUE(grabber.grab(all, into, false)); }); };
    const auto draw = [&](std::uint32_t rgb, int y) {
        const int before = changes;
        painter.fill(rgb, 0, y, 320, 10);
        ASSERT_TRUE(test::waitUntil([&] { return changes > before; }, 20s)) << "damage seen";
    };
    grab(a);
    draw(0xFFFFFF, 40); // white, while `a` is out
    EXPECT_GE(fresh, 1) << "a first redraw in a quiet area is fresh";
    grab(b);
    draw(0xFF0000, 160); // red
    grab(b);
    grab(a); // two changes behind
    EXPECT_NEAR(lumaAt(a, 100, 45), 235, 2) << "the change before the last";
    EXPECT_NEAR(lumaAt(a, 100, 165), 82, 3) << "the last change";
    EXPECT_NEAR(lumaAt(a, 100, 100), 16, 2);
    queue.sync([&] { grabber.close(); });
}

// The X server goes away under a running capture: the source ends once, with a capture error,
// instead of spinning on a descriptor that stays readable.
TEST(X11Capture, ALostServerEndsTheSourceThroughOnStop) {
    auto server = test::XvfbServer::start(320, 240);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    CaptureRun run((*server)->display(), 320, 240);
    ASSERT_TRUE(test::waitUntil([&] { return run.count() >= 1; }, 20s));
    (*server)->process().stop();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const std::lock_guard lock(run.mutex);
            return !run.stops.empty();
        },
        20s));
    const std::lock_guard lock(run.mutex);
    ASSERT_EQ(run.stops.size(), 1u);
    ASSERT_TRUE(run.stops[0].has_value());
    EXPECT_EQ(run.stops[0]->text(), "Screen capture couldn't start: lost the connection to the X server");
}

// The panel asks whether the screen can be read every second and the session on every admission:
// the answer comes from the last probe, redone on a thread of its own, so it follows the X server
// without any caller waiting on it.
TEST(ScreenProbe, TheAnswerFollowsTheServerFromAProbeOnItsOwnThread) {
    auto server = test::XvfbServer::start(320, 240);
    KIV_REQUIRE_STARTED(server);
    MainLoop main;
    LinuxPlatformOptions options;
    options.display = (*server)->display();
    options.defaults = std::make_shared<InMemoryKeyValueStore>();
    auto platform = LinuxPlatform::create(options, main);
    const auto& ports = platform->ports();
    EXPECT_TRUE(ports.screenRecordingGranted()) << "probed once as the platform starts";
    EXPECT_EQ(ports.mainDisplayBounds(), (std::optional<ScreenRect>{{0, 0, 320, 240}}));

    (*server)->process().stop();
    // The display number stays taken (a lock naming this live process), so that a server another
    // test starts meanwhile cannot get it and answer the probe in its place.
    const auto lock = "/tmp/.X" + std::to_string((*server)->displayNumber()) + "-lock";
    std::ofstream(lock) << fmt::format("{:>10}\n", ::getpid());
    EXPECT_TRUE(test::waitUntil([&] { return !ports.screenRecordingGranted(); }, 30s))
        << "a later probe saw the server go";
    EXPECT_FALSE(ports.mainDisplayBounds().has_value());
    std::filesystem::remove(lock);
}

// A pointer resting on the monitor stays in the picture without being fetched again: a change
// beside it in the same rows is the only change, and one drawn under it leaves the cursor as it
// was (not blended twice, not lost). Moved, it leaves nothing behind.
TEST(X11Capture, ARestingCursorIsNotFetchedAgainAndSurvivesWhatIsDrawnUnderIt) {
    auto server = test::XvfbServer::start(320, 240);
    KIV_REQUIRE_STARTED(server);
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Painter painter((*server)->display());
    painter.fill(0x000000, 0, 0, 320, 240);
    painter.pointer(60, 100);
    SerialQueue queue("kiv.capture");
    X11ScreenGrabber grabber((*server)->display());
    ASSERT_TRUE(queue.sync([&] { ASSERT_TRUE(grabber.open(queue)); }));
    std::atomic<int> changes{0};
    const ScreenRect all{0, 0, 320, 240};
    queue.sync([&] { grabber.watch(all, {.changed = [&](bool) { ++changes; }, .layoutChanged = {}, .lost = {}}); });
    PixelBuffer out(320, 240);
    const auto grab = [&] { queue.sync([&] { EXPECT_TRUE(grabber.grab(all, out, true)); }); };
    const auto draw = [&](int x, int y, int w, int h) {
        const int before = changes;
        painter.fill(0x000000, x, y, w, h);
        ASSERT_TRUE(test::waitUntil([&] { return changes > before; }, 20s)) << "damage seen";
    };
    const auto cursorArea = [&] {
        std::vector<int> luma;
        for (int y = 95; y < 130; ++y)
            for (int x = 55; x < 90; ++x)
                luma.push_back(lumaAt(out, x, y));
        return luma;
    };
    const auto bright = [](const std::vector<int>& luma) {
        return std::ranges::count_if(luma, [](int l) { return l > 100; });
    };
    grab();
    draw(300, 0, 10, 10); // its damage comes after all the setup's
    grab();
    const auto drawn = cursorArea();
    ASSERT_GT(bright(drawn), 5) << "the cursor is in the picture";

    draw(240, 90, 20, 40); // beside it, in the same rows
    grab();
    ASSERT_TRUE(out.changes.known);
    for (const auto& r : out.changes.rects)
        EXPECT_GT(r.left, 200) << "only the drawing changed, not the cursor's place (" << r.left << "-" << r.right
                               << ")";
    EXPECT_EQ(cursorArea(), drawn);

    draw(50, 90, 60, 60); // under it: the same black again
    grab();
    EXPECT_EQ(cursorArea(), drawn) << "the cursor drawn once over what is there now";

    painter.pointer(200, 200);
    ASSERT_TRUE(test::waitUntil(
        [&] {
            grab();
            return bright(cursorArea()) == 0;
        },
        20s))
        << "nothing is left where it was";
    queue.sync([&] { grabber.close(); });
}
