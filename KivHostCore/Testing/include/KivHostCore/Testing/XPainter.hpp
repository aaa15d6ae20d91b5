#pragma once
// A plain X client that paints rectangles and pictures straight onto the root window, reads it
// back and moves the pointer: what tests and benchmarks draw for the capture to see. Header-only;
// users link xcb.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
#include <xcb/xcb.h>

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
        const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                   static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &rect);
        if (settle) {
            sync();
        } else {
            xcb_flush(connection_);
        }
    }
    // Sends what was drawn without waiting for it.
    void flush() { xcb_flush(connection_); }
    void pointer(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                         static_cast<std::int16_t>(y));
        sync();
    }

    // A picture of w x h pixels, 0x00RRGGBB each (a 24-bit server), in bands that fit a request.
    void image(const std::vector<std::uint32_t>& pixels, int x, int y, int w, int h) {
        const int band = std::max(1, 65536 / std::max(w, 1));
        for (int top = 0; top < h; top += band) {
            const int rows = std::min(band, h - top);
            xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root, gc_, static_cast<std::uint16_t>(w),
                          static_cast<std::uint16_t>(rows), static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y + top), 0, 24, static_cast<std::uint32_t>(w * rows * 4),
                          reinterpret_cast<const std::uint8_t*>(pixels.data() + top * w));
        }
        sync();
    }
    // What the server shows there, as BGRA rows of w x 4 bytes (empty if it cannot be read).
    std::vector<std::uint8_t> grab(int x, int y, int w, int h) {
        std::vector<std::uint8_t> out;
        const int band = std::max(1, 65536 / std::max(w, 1));
        for (int top = 0; top < h; top += band) {
            const int rows = std::min(band, h - top);
            auto* reply =
                xcb_get_image_reply(connection_,
                                    xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                                  static_cast<std::int16_t>(x), static_cast<std::int16_t>(y + top),
                                                  static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(rows), ~0u),
                                    nullptr);
            if (reply == nullptr) return {};
            const auto* data = xcb_get_image_data(reply);
            const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply));
            if (length == static_cast<std::size_t>(w) * static_cast<std::size_t>(rows) * 4)
                out.insert(out.end(), data, data + length);
            std::free(reply);
            if (length != static_cast<std::size_t>(w) * static_cast<std::size_t>(rows) * 4) return {};
        }
        return out;
    }

private:
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    xcb_gcontext_t gc_;
};

} // namespace kiv::test
