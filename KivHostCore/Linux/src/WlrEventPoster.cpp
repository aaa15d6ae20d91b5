#include "KivHostCore/Linux/WlrEventPoster.hpp"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "KivBase/KivLog.hpp"
#include "WaylandClient.hpp"
#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"

namespace kiv {

namespace {

std::uint32_t milliseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1'000'000);
}

// The keymap the virtual keyboard announces: the plain US layout, from xkbcommon's own rules.
std::string usKeymap() {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (context == nullptr) return {};
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    std::string text;
    if (keymap != nullptr) {
        if (char* s = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1)) {
            text = s;
            std::free(s);
        }
        xkb_keymap_unref(keymap);
    }
    xkb_context_unref(context);
    return text;
}

} // namespace

struct WlrEventPoster::Impl {
    std::string displayName;
    std::unique_ptr<WaylandClient> client;
    std::map<std::string, zwlr_virtual_pointer_v1*> pointers; // by output; "" = the whole layout
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    std::atomic<bool> trusted{false};
    bool warned = false;

    ~Impl() { disconnect(); }

    void disconnect() {
        if (!client) return;
        for (auto& [name, pointer] : pointers)
            zwlr_virtual_pointer_v1_destroy(pointer);
        pointers.clear();
        if (keyboard != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard);
        keyboard = nullptr;
        client.reset();
    }

    // The connection, made again if the compositor went away.
    bool ready() {
        if (client && client->pump()) return true;
        disconnect();
        std::string why;
        client = WaylandClient::connect(displayName, why);
        if (!client || client->pointers == nullptr) {
            if (!warned) KivLog::logger("Input").warning("No virtual pointer on the Wayland compositor: " + why);
            warned = true;
            client.reset();
            trusted = false;
            return false;
        }
        client->onOutputsChanged = [this] { forgetPointers(); };
        ensureLayoutPointer(); // one pointer from the start: clients see the seat's pointer once, not come and go
        trusted = true;
        warned = false;
        return true;
    }

    // Pointers bound to outputs that went away go with them. The others stay: a pointer that
    // disappears takes the seat's pointer from every client that has no other (their pointer
    // objects go inert), and a bound pointer follows its output wherever it moves.
    void forgetPointers() {
        for (auto it = pointers.begin(); it != pointers.end();) {
            if (!it->first.empty() && client->outputNamed(it->first) == nullptr) {
                zwlr_virtual_pointer_v1_destroy(it->second);
                it = pointers.erase(it);
            } else {
                ++it;
            }
        }
    }

    void ensureLayoutPointer() {
        auto& pointer = pointers[""];
        if (pointer == nullptr)
            pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(client->pointers, client->seat);
        wl_display_flush(client->display());
    }

    // The pointer for a point: the one bound to the output holding it, with the point made
    // relative to that output; else one over the whole layout.
    zwlr_virtual_pointer_v1* pointerAt(double& x, double& y, std::uint32_t& width, std::uint32_t& height) {
        const WaylandOutput* output = client->outputAt(x, y);
        if (output != nullptr && client->pointersVersion >= 2) {
            x -= output->x;
            y -= output->y;
            width = static_cast<std::uint32_t>(std::max(1, output->width));
            height = static_cast<std::uint32_t>(std::max(1, output->height));
            auto& pointer = pointers[output->name];
            if (pointer == nullptr)
                pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer_with_output(
                    client->pointers, client->seat, output->output);
            return pointer;
        }
        int left = 0, top = 0, right = 1, bottom = 1;
        for (const auto& o : client->outputs()) {
            left = std::min(left, o->x);
            top = std::min(top, o->y);
            right = std::max(right, o->x + o->width);
            bottom = std::max(bottom, o->y + o->height);
        }
        x -= left;
        y -= top;
        width = static_cast<std::uint32_t>(right - left);
        height = static_cast<std::uint32_t>(bottom - top);
        auto& pointer = pointers[""];
        if (pointer == nullptr)
            pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(client->pointers, client->seat);
        return pointer;
    }

    zwlr_virtual_pointer_v1* moveTo(double x, double y) {
        std::uint32_t width = 1, height = 1;
        auto* pointer = pointerAt(x, y, width, height);
        const auto clampTo = [](double v, std::uint32_t extent) {
            return static_cast<std::uint32_t>(std::clamp(std::lround(v), 0L, static_cast<long>(extent) - 1));
        };
        zwlr_virtual_pointer_v1_motion_absolute(pointer, milliseconds(), clampTo(x, width), clampTo(y, height), width,
                                                height);
        return pointer;
    }

    bool ensureKeyboard() {
        if (keyboard != nullptr) return true;
        if (client->keyboards == nullptr || client->seat == nullptr) return false;
        const std::string keymap = usKeymap();
        if (keymap.empty()) return false;
        const int fd = ::memfd_create("kiv-keymap", MFD_CLOEXEC);
        if (fd < 0) return false;
        const auto size = keymap.size() + 1;
        if (::write(fd, keymap.c_str(), size) != static_cast<ssize_t>(size)) {
            ::close(fd);
            return false;
        }
        keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(client->keyboards, client->seat);
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       static_cast<std::uint32_t>(size));
        ::close(fd);
        return true;
    }
};

WlrEventPoster::WlrEventPoster(std::string display) : impl_(std::make_unique<Impl>()) {
    impl_->displayName = std::move(display);
    impl_->ready();
}

WlrEventPoster::~WlrEventPoster() = default;

bool WlrEventPoster::isTrusted() const {
    return impl_->trusted;
}

std::uint32_t WlrEventPoster::evdevKey(int keyCode) {
    switch (keyCode) {
    case 59: return KEY_LEFTCTRL;
    case 123: return KEY_LEFT;
    case 124: return KEY_RIGHT;
    default: return 0;
    }
}

void WlrEventPoster::mouse(MouseEventType type, double x, double y, int) {
    if (!impl_->ready()) return;
    auto* pointer = impl_->moveTo(x, y);
    const auto press = [&](std::uint32_t button, bool down) {
        zwlr_virtual_pointer_v1_button(pointer, milliseconds(), button,
                                       down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    };
    switch (type) {
    case MouseEventType::leftDown: press(BTN_LEFT, true); break;
    case MouseEventType::leftUp: press(BTN_LEFT, false); break;
    case MouseEventType::rightDown: press(BTN_RIGHT, true); break;
    case MouseEventType::rightUp: press(BTN_RIGHT, false); break;
    case MouseEventType::moved:
    case MouseEventType::leftDragged: break;
    }
    zwlr_virtual_pointer_v1_frame(pointer);
    wl_display_flush(impl_->client->display());
}

void WlrEventPoster::scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) {
    if (!impl_->ready()) return;
    auto* pointer = impl_->moveTo(x, y);
    const auto time = milliseconds();
    // Smooth scrolling in pixels; Wayland's positive axis values go down and right.
    zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_CONTINUOUS);
    if (verticalPixels != 0)
        zwlr_virtual_pointer_v1_axis(pointer, time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                     wl_fixed_from_int(-std::clamp(verticalPixels, -10000, 10000)));
    if (horizontalPixels != 0)
        zwlr_virtual_pointer_v1_axis(pointer, time, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                     wl_fixed_from_int(-std::clamp(horizontalPixels, -10000, 10000)));
    zwlr_virtual_pointer_v1_frame(pointer);
    wl_display_flush(impl_->client->display());
}

void WlrEventPoster::key(int keyCode, bool down, std::uint64_t) {
    const auto key = evdevKey(keyCode);
    if (key == 0 || !impl_->ready() || !impl_->ensureKeyboard()) return;
    zwp_virtual_keyboard_v1_key(impl_->keyboard, milliseconds(), key,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    wl_display_flush(impl_->client->display());
}

} // namespace kiv
