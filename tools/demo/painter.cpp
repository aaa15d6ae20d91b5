// kivdisplay-demo-painter: keeps a moving test picture on the first KivDisplay monitor of an X
// display (colour bars with a square sweeping across them), so a demo always has motion to show.
//   kivdisplay-demo-painter DISPLAY
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace {

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};

// The first monitor whose name starts with "KIV-" (not the desktop's own "KIV-MAIN").
std::optional<Area> kivMonitor(xcb_connection_t* c, xcb_window_t root) {
    auto* reply = xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root, 1), nullptr);
    if (!reply) return std::nullopt;
    std::optional<Area> found;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem && !found;
         xcb_randr_monitor_info_next(&it)) {
        auto* name = xcb_get_atom_name_reply(c, xcb_get_atom_name(c, it.data->name), nullptr);
        if (!name) continue;
        const std::string text(xcb_get_atom_name_name(name),
                               static_cast<std::size_t>(xcb_get_atom_name_name_length(name)));
        std::free(name);
        if (text.rfind("KIV-", 0) == 0 && text != "KIV-MAIN")
            found = Area{it.data->x, it.data->y, it.data->width, it.data->height};
    }
    std::free(reply);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DISPLAY\n", argv[0]);
        return 2;
    }
    auto* c = xcb_connect(argv[1], nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "kivdisplay-demo-painter: cannot open X display %s\n", argv[1]);
        return 1;
    }
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const auto gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, 0, nullptr);
    static constexpr std::uint32_t kBars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000, 0xC000C0, 0xC00000, 0x0000C0};
    for (int frame = 0; !xcb_connection_has_error(c); ++frame) {
        const auto area = kivMonitor(c, screen->root);
        if (area && area->width > 0) {
            const int bar = area->width / 7;
            for (int i = 0; i < 7; ++i) {
                xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &kBars[i]);
                const xcb_rectangle_t r{static_cast<std::int16_t>(area->x + i * bar),
                                        static_cast<std::int16_t>(area->y), static_cast<std::uint16_t>(bar),
                                        static_cast<std::uint16_t>(area->height)};
                xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
            }
            const int side = std::max(area->height / 6, 16);
            const int span = std::max(area->width - side, 1);
            const int x = area->x + (frame * 8) % span;
            const std::uint32_t white = 0xFFFFFF;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &white);
            const xcb_rectangle_t square{static_cast<std::int16_t>(x),
                                         static_cast<std::int16_t>(area->y + area->height / 2 - side / 2),
                                         static_cast<std::uint16_t>(side), static_cast<std::uint16_t>(side)};
            xcb_poly_fill_rectangle(c, screen->root, gc, 1, &square);
            xcb_flush(c);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(area ? 33 : 500));
    }
    return 0;
}
