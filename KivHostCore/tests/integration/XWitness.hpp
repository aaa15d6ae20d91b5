#pragma once
// A test X client: a mapped window that records the pointer and key events it receives.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>
#include <xcb/xcb.h>

#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/XPainter.hpp"

namespace kiv::test {

using namespace std::chrono_literals;

struct SeenEvent {
    std::uint8_t type;
    std::uint8_t detail;
    int x;
    int y;
};

// A window that records pointer and key events.
class Witness {
public:
    // Covers the screen as it was at connection time, or the given area.
    explicit Witness(const std::string& display, int x = 0, int y = 0, int width = 0, int height = 0)
        : c_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        if (width == 0) width = screen_->width_in_pixels;
        if (height == 0) height = screen_->height_in_pixels;
        const std::uint32_t mask = XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                   XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE | XCB_EVENT_MASK_EXPOSURE;
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen_->root, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                          XCB_CW_EVENT_MASK, &mask);
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
        return test::waitUntil(
            [&] {
                poll();
                return events.size() >= count;
            },
            20s, 5ms);
    }

    std::vector<SeenEvent> events;

private:
    xcb_connection_t* c_;
    xcb_screen_t* screen_;
    xcb_window_t window_;
};

} // namespace kiv::test
