#pragma once
// A test X client over a rectangle that records the pointer events it gets.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

#include "KivProtocol/InputEvent.hpp"

namespace kiv::test {

// An X window over a rectangle that records the pointer events it gets.
class EventWindow {
public:
    struct Event {
        std::uint8_t type = 0; // XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE, XCB_MOTION_NOTIFY
        int button = 0;
        int rootX = 0;
        int rootY = 0;
        bool button1Held = false;
    };

    EventWindow(const std::string& display, const Rect& r) : connection_(xcb_connect(display.c_str(), nullptr)) {
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {screen->black_pixel, 1,
                                        XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                            XCB_EVENT_MASK_POINTER_MOTION};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<std::int16_t>(r.x),
                          static_cast<std::int16_t>(r.y), static_cast<std::uint16_t>(r.width),
                          static_cast<std::uint16_t>(r.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(connection_, window_);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ~EventWindow() { xcb_disconnect(connection_); }

    std::vector<Event>& events() {
        while (auto* e = xcb_poll_for_event(connection_)) {
            const auto type = static_cast<std::uint8_t>(e->response_type & 0x7F);
            if (type == XCB_BUTTON_PRESS || type == XCB_BUTTON_RELEASE) {
                const auto* b = reinterpret_cast<xcb_button_press_event_t*>(e);
                events_.push_back({type, b->detail, b->root_x, b->root_y, (b->state & XCB_BUTTON_MASK_1) != 0});
            } else if (type == XCB_MOTION_NOTIFY) {
                const auto* m = reinterpret_cast<xcb_motion_notify_event_t*>(e);
                events_.push_back({type, 0, m->root_x, m->root_y, (m->state & XCB_BUTTON_MASK_1) != 0});
            }
            std::free(e);
        }
        return events_;
    }
    bool has(const std::function<bool(const Event&)>& match) {
        const auto& all = events();
        return std::any_of(all.begin(), all.end(), match);
    }

private:
    xcb_connection_t* connection_;
    xcb_window_t window_ = 0;
    std::vector<Event> events_;
};

} // namespace kiv::test
