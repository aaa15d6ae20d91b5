#pragma once
// A plain X client that paints rectangles straight onto the root window and moves the pointer:
// what tests and benchmarks draw for the capture to see. Header-only; users link xcb.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kiv::test {

class Painter {
public:
    explicit Painter(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
    }
    ~Painter() { xcb_disconnect(connection_); }
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;

    // `settle`: wait until the server has drawn it; otherwise only flush (latency measurements).
    void fill(std::uint32_t rgb, int x, int y, int w, int h, bool settle = true) {
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
        const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                                   static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &rect);
        if (settle) {
            sync();
        } else {
            xcb_flush(connection_);
        }
    }
    void pointer(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
        sync();
    }

private:
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    xcb_gcontext_t gc_;
};

} // namespace kiv::test
