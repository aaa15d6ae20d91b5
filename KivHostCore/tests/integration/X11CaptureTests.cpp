// Capture from a real X server (Xvfb started here): known drawings come back as the right NV12
// pixels, nothing arrives while nothing changes, the cursor is in the picture, scaling letterboxes.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <mutex>

#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Media/ScreenCaptureManager.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/TestServers.hpp"

using namespace kiv;
using namespace std::chrono_literals;

namespace {

// A plain X client that paints rectangles straight onto the root window.
class Painter {
public:
    explicit Painter(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    }
    ~Painter() { xcb_disconnect(connection_); }
    void fill(std::uint32_t rgb, int x, int y, int w, int h) {
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                                   static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &rect);
        xcb_aux_sync();
    }
    void pointer(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
        xcb_aux_sync();
    }

private:
    void xcb_aux_sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }
    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    xcb_gcontext_t gc_;
};

struct CaptureRun {
    SerialQueue queue{"kiv.capture"};
    std::shared_ptr<ScreenCaptureManager> capture;
    std::mutex mutex;
    std::vector<std::shared_ptr<PixelBuffer>> frames;

    CaptureRun(const std::string& display, int width, int height) {
        capture = ScreenCaptureManager::create(std::make_unique<X11ScreenGrabber>(display), queue, nullptr);
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

int lumaAt(const PixelBuffer& b, int x, int y) { return b.luma()[y * b.lumaStride() + x]; }

} // namespace

TEST(X11Capture, DrawingsArriveAsTheirColoursAndStillnessDeliversNothing) {
    auto server = test::XvfbServer::start(640, 480);
    if (!server && server.error().notInstalled) GTEST_SKIP() << server.error().message;
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Painter painter((*server)->display());
    painter.pointer(600, 460);
    painter.fill(0x000000, 0, 0, 640, 480);

    CaptureRun run((*server)->display(), 640, 480);
    ASSERT_TRUE(test::waitUntil([&] { return run.count() >= 1; }, 20s));

    const auto before = run.count();
    painter.fill(0xFF0000, 100, 100, 200, 100); // red
    painter.fill(0xFFFFFF, 400, 300, 40, 40);   // white
    ASSERT_TRUE(test::waitUntil([&] {
        const auto frame = run.count() > before ? run.last() : nullptr;
        return frame && lumaAt(*frame, 420, 320) > 200 && lumaAt(*frame, 150, 150) > 60;
    }, 20s)) << "the change is captured";
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
    ASSERT_TRUE(test::waitUntil([&] {
        const auto now = run.count();
        if (now != settled) {
            settled = now;
            return false;
        }
        return !test::waitUntil([&] { return run.count() != settled; }, 300ms);
    }, 20s)) << "the capture goes quiet";
    const auto still = run.count();
    EXPECT_FALSE(test::waitUntil([&] { return run.count() > still; }, 500ms));
}

TEST(X11Capture, TheCursorIsCompositedAndScalingLetterboxes) {
    auto server = test::XvfbServer::start(640, 480);
    if (!server && server.error().notInstalled) GTEST_SKIP() << server.error().message;
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
        for (int x = 150; x < 190; ++x) bright += lumaAt(*frame, x, y) > 100 ? 1 : 0;
    }
    EXPECT_GT(bright, 5) << "the cursor near the centre is part of the picture";
}
