// Touch input reaching a real X server (Xvfb started here) through XTEST: a window under the
// pointer receives the clicks, wheel steps and keys the touches turn into.
#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdlib>

#include "KivHostCore/Input/InputEventManager.hpp"
#include "KivHostCore/Linux/XTestEventPoster.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/TestServers.hpp"

using namespace kiv;
using namespace std::chrono_literals;
using Kind = InputEvent::Kind;

namespace {

struct SeenEvent {
    std::uint8_t type;
    std::uint8_t detail;
    int x;
    int y;
};

// A window covering the screen that records pointer and key events.
class Witness {
public:
    explicit Witness(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        const std::uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE | XCB_EVENT_MASK_KEY_PRESS |
                                   XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_EXPOSURE;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, 0, 0, screen_->width_in_pixels,
                          screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, XCB_CW_EVENT_MASK, &mask);
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        test::waitUntil([&] { return poll(XCB_EXPOSE); }, 10s);
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, window_, XCB_CURRENT_TIME);
        xcb_flush(c_);
    }
    ~Witness() { xcb_disconnect(c_); }

    bool poll(std::uint8_t until = 0) {
        bool found = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
            const auto type = static_cast<std::uint8_t>(event->response_type & 0x7F);
            if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
                const auto* b = reinterpret_cast<xcb_button_press_event_t*>(event);
                events.push_back({type, b->detail, b->event_x, b->event_y});
            } else if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
                const auto* k = reinterpret_cast<xcb_key_press_event_t*>(event);
                events.push_back({type, k->detail, k->event_x, k->event_y});
            }
            found = found || type == until;
            std::free(event);
        }
        return found;
    }
    std::pair<int, int> pointer() {
        auto* reply = xcb_query_pointer_reply(c_, xcb_query_pointer(c_, screen_->root), nullptr);
        const std::pair<int, int> at{reply->root_x, reply->root_y};
        std::free(reply);
        return at;
    }
    bool waitForEvents(std::size_t count) {
        return test::waitUntil([&] {
            poll();
            return events.size() >= count;
        }, 20s, 5ms);
    }

    std::vector<SeenEvent> events;

private:
    xcb_connection_t* c_;
    xcb_screen_t* screen_;
    xcb_window_t window_;
};

} // namespace

TEST(XTestInput, TapsScrollsAndSpaceSwitchesReachAWindow) {
    auto server = test::XvfbServer::start(1920, 1080);
    if (!server && server.error().notInstalled) GTEST_SKIP() << server.error().message;
    ASSERT_TRUE(server.has_value()) << server.error().message;
    Witness witness((*server)->display());

    SerialQueue queue("kiv.input");
    auto poster = std::make_shared<XTestEventPoster>((*server)->display());
    ASSERT_TRUE(poster->isTrusted()) << "Xvfb has XTEST";
    auto manager = InputEventManager::create(
        queue, poster, [](std::uint32_t) { return std::optional<Rect>(Rect{0, 0, 1920, 1080}); }, nullptr, [] { return 0.0; });
    manager->setDisplayID(1);

    manager->handle(InputEvent{Kind::tap, 0.5, 0.5, 0, 0, 1, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.pointer(), (std::pair<int, int>{960, 540}));
    EXPECT_EQ(witness.events[0].type, XCB_BUTTON_PRESS);
    EXPECT_EQ(witness.events[0].detail, 1);
    EXPECT_EQ(witness.events[0].x, 960);
    EXPECT_EQ(witness.events[0].y, 540);
    EXPECT_EQ(witness.events[1].type, XCB_BUTTON_RELEASE);
    witness.events.clear();

    // 0.01 of 1,080 is 10 pixels: four such scrolls make one wheel step up.
    for (int i = 0; i < 4; ++i) manager->handle(InputEvent{Kind::scroll, 0.5, 0.5, 0, 0.01, 2, 0});
    ASSERT_TRUE(witness.waitForEvents(2));
    EXPECT_EQ(witness.events[0].detail, 4) << "positive dy scrolls up";
    EXPECT_EQ(witness.events.size(), 2u) << "exactly one step; the remainder is carried";
    witness.events.clear();

    manager->handle(InputEvent{Kind::switchSpace, 0.5, 0.5, 0.3, 0, 3, 0});
    ASSERT_TRUE(witness.waitForEvents(4));
    EXPECT_EQ(witness.events[0].type, XCB_KEY_PRESS);
    EXPECT_EQ(witness.events[1].type, XCB_KEY_PRESS);
    EXPECT_EQ(witness.events[2].type, XCB_KEY_RELEASE);
    EXPECT_EQ(witness.events[3].type, XCB_KEY_RELEASE);
    EXPECT_EQ(witness.events[0].detail, witness.events[3].detail) << "Control wraps the arrow";
    EXPECT_EQ(witness.events[1].detail, witness.events[2].detail);
    EXPECT_NE(witness.events[0].detail, witness.events[1].detail);
}
