#include "KivHostCore/Linux/XTestEventPoster.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

namespace kiv {

namespace {
// The platform's key codes the input manager uses, as X keysyms.
std::uint32_t keysymFor(int keyCode) {
    switch (keyCode) {
    case 59: return 0xffe3;  // Control_L
    case 123: return 0xff51; // Left
    case 124: return 0xff53; // Right
    default: return 0;
    }
}

std::int16_t coordinate(double value) {
    if (!std::isfinite(value)) return 0;
    return static_cast<std::int16_t>(std::clamp(std::lround(value), -32768L, 32767L)); // X coordinates are 16-bit
}
} // namespace

struct XTestEventPoster::Impl {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    bool trusted = false;
    std::int64_t verticalCarry = 0;
    std::int64_t horizontalCarry = 0;

    void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0) {
        xcb_test_fake_input(connection, type, detail, XCB_CURRENT_TIME, type == XCB_MOTION_NOTIFY ? root : XCB_NONE, x,
                            y, 0);
    }

    std::uint8_t keycodeFor(std::uint32_t keysym) {
        const auto* setup = xcb_get_setup(connection);
        const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        auto* reply = xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, count), nullptr);
        if (reply == nullptr) return 0;
        const auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
        const int perCode = reply->keysyms_per_keycode;
        std::uint8_t found = 0;
        for (int code = 0; code < count && found == 0; ++code) {
            for (int i = 0; i < perCode; ++i) {
                if (syms[code * perCode + i] == keysym) {
                    found = static_cast<std::uint8_t>(setup->min_keycode + code);
                    break;
                }
            }
        }
        std::free(reply);
        return found;
    }

    // Whole wheel steps out of the carried pixels; the remainder waits for the next scroll.
    void wheel(std::int64_t& carry, std::int32_t pixels, std::uint8_t positiveButton, std::uint8_t negativeButton) {
        carry += pixels;
        const std::int64_t steps = carry / kPixelsPerWheelStep;
        carry -= steps * kPixelsPerWheelStep;
        const std::uint8_t button = steps > 0 ? positiveButton : negativeButton;
        for (std::int64_t i = 0; i < std::min<std::int64_t>(std::llabs(steps), 100); ++i) {
            fake(XCB_BUTTON_PRESS, button);
            fake(XCB_BUTTON_RELEASE, button);
        }
    }
};

XTestEventPoster::XTestEventPoster(std::string display) : impl_(std::make_unique<Impl>()) {
    impl_->connection = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
    if (xcb_connection_has_error(impl_->connection) != 0) return;
    impl_->root = xcb_setup_roots_iterator(xcb_get_setup(impl_->connection)).data->root;
    const auto* extension = xcb_get_extension_data(impl_->connection, &xcb_test_id);
    impl_->trusted = extension != nullptr && extension->present != 0;
}

XTestEventPoster::~XTestEventPoster() {
    if (impl_->connection != nullptr) xcb_disconnect(impl_->connection);
}

bool XTestEventPoster::isTrusted() const {
    return impl_->trusted;
}

void XTestEventPoster::mouse(MouseEventType type, double x, double y, int) {
    if (!impl_->trusted) return;
    // X servers count clicks themselves from timing; the click state has no place here.
    impl_->fake(XCB_MOTION_NOTIFY, 0, coordinate(x), coordinate(y));
    switch (type) {
    case MouseEventType::leftDown: impl_->fake(XCB_BUTTON_PRESS, 1); break;
    case MouseEventType::leftUp: impl_->fake(XCB_BUTTON_RELEASE, 1); break;
    case MouseEventType::rightDown: impl_->fake(XCB_BUTTON_PRESS, 3); break;
    case MouseEventType::rightUp: impl_->fake(XCB_BUTTON_RELEASE, 3); break;
    case MouseEventType::moved:
    case MouseEventType::leftDragged: break;
    }
    xcb_flush(impl_->connection);
}

void XTestEventPoster::scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) {
    if (!impl_->trusted) return;
    impl_->fake(XCB_MOTION_NOTIFY, 0, coordinate(x), coordinate(y));
    impl_->wheel(impl_->verticalCarry, verticalPixels, 4, 5);     // positive: up
    impl_->wheel(impl_->horizontalCarry, horizontalPixels, 6, 7); // positive: left
    xcb_flush(impl_->connection);
}

void XTestEventPoster::key(int keyCode, bool down, std::uint64_t) {
    if (!impl_->trusted) return;
    const auto keysym = keysymFor(keyCode);
    const std::uint8_t keycode = keysym != 0 ? impl_->keycodeFor(keysym) : std::uint8_t{0};
    if (keycode == 0) return;
    impl_->fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, keycode);
    xcb_flush(impl_->connection);
}

} // namespace kiv
