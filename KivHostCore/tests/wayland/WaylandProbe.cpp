// A Wayland client for tests and the latency harness: a fullscreen window on one output, painted
// from commands on stdin, reporting the pointer and keyboard events it receives on stdout.
//   kiv_wayland_probe OUTPUT RRGGBB      (OUTPUT: a name, or "@X,Y" for the output placed there)
// stdin:  "rect X Y W H RRGGBB"  paint a rectangle (surface pixels), shown at once;
//         "draw X Y W H RRGGBB"  paint it with the next "show", which shows every change since in one commit
// stdout: "ready W H" once the window shows, "button X Y CODE STATE", "axis AXIS VALUE", "key CODE STATE"
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xdg-output-unstable-v1-client.h"
#include "xdg-shell-client.h"

namespace {

struct Output {
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
};

struct Rect {
    int x, y, w, h;
};

struct Buffer {
    wl_buffer* buffer = nullptr;
    std::uint32_t* pixels = nullptr;
    bool busy = false;
    std::uint64_t shows = 0; // the canvas as of that commit is in it
};

struct Probe {
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm = nullptr;
    wl_seat* seat = nullptr;
    zxdg_output_manager_v1* xdgOutputs = nullptr;
    std::vector<Output*> outputs;
    wl_surface* surface = nullptr;
    xdg_surface* xsurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    int width = 0, height = 0;
    std::vector<std::uint32_t> canvas;
    Buffer buffers[2];
    bool configured = false;
    bool shown = false;
    double pointerX = 0, pointerY = 0;
    std::uint32_t background = 0;
    Output* target = nullptr;               // its size, until the compositor picks one
    std::vector<std::vector<Rect>> changes; // what each commit changed, by commit number - 1
    std::vector<Rect> pending;              // drawn, not shown yet
};

Probe probe;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

const wl_buffer_listener kBuffer{[](void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }};

void makeBuffers() {
    const std::size_t bytes = static_cast<std::size_t>(probe.width) * static_cast<std::size_t>(probe.height) * 4;
    for (auto& b : probe.buffers) {
        if (b.buffer != nullptr) wl_buffer_destroy(b.buffer); // a resize: the old pictures go
        b.busy = false;
        b.shows = 0;
        const int fd = memfd_create("probe", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) std::exit(3);
        b.pixels = static_cast<std::uint32_t*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        wl_shm_pool* pool = wl_shm_create_pool(probe.shm, fd, static_cast<std::int32_t>(bytes));
        b.buffer =
            wl_shm_pool_create_buffer(pool, 0, probe.width, probe.height, probe.width * 4, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
        close(fd);
        wl_buffer_add_listener(b.buffer, &kBuffer, &b);
    }
    probe.canvas.assign(static_cast<std::size_t>(probe.width) * static_cast<std::size_t>(probe.height),
                        probe.background);
}

void copyRect(Buffer& b, const Rect& r) {
    for (int row = r.y; row < r.y + r.h; ++row)
        std::memcpy(b.pixels + static_cast<std::size_t>(row) * static_cast<std::size_t>(probe.width) +
                        static_cast<std::size_t>(r.x),
                    probe.canvas.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(probe.width) +
                        static_cast<std::size_t>(r.x),
                    static_cast<std::size_t>(r.w) * 4);
}

// Shows the canvas in a buffer the compositor is not reading: only what changed since that buffer
// last showed is copied into it, and only what changed since the last commit is damaged.
void present(bool whole) {
    Buffer* free = nullptr;
    while (free == nullptr) {
        for (auto& b : probe.buffers)
            if (!b.busy) free = &b;
        if (free == nullptr && wl_display_dispatch(probe.display) < 0) std::exit(4);
    }
    const std::uint64_t commit = probe.changes.size() + 1;
    if (whole) {
        probe.pending = {{0, 0, probe.width, probe.height}};
        std::memcpy(free->pixels, probe.canvas.data(), probe.canvas.size() * 4);
    } else {
        for (std::uint64_t c = free->shows; c + 1 < commit; ++c)
            for (const auto& r : probe.changes[c])
                copyRect(*free, r);
        for (const auto& r : probe.pending)
            copyRect(*free, r);
    }
    for (const auto& r : probe.pending)
        wl_surface_damage_buffer(probe.surface, r.x, r.y, r.w, r.h);
    probe.changes.push_back(std::move(probe.pending));
    probe.pending.clear();
    free->shows = commit;
    free->busy = true;
    wl_surface_attach(probe.surface, free->buffer, 0, 0);
    wl_surface_commit(probe.surface);
    wl_display_flush(probe.display);
}

void paint(int x, int y, int w, int h, std::uint32_t rgb) {
    if (probe.width == 0) return;
    const int x0 = std::max(0, x), y0 = std::max(0, y);
    const int x1 = std::min(probe.width, x + w), y1 = std::min(probe.height, y + h);
    if (x0 >= x1 || y0 >= y1) return;
    for (int row = y0; row < y1; ++row)
        std::fill_n(probe.canvas.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(probe.width) +
                        static_cast<std::size_t>(x0),
                    x1 - x0, rgb);
    probe.pending.push_back({x0, y0, x1 - x0, y1 - y0});
}

void onXdgName(void* data, zxdg_output_v1*, const char* name) {
    static_cast<Output*>(data)->name = name;
}
const zxdg_output_v1_listener kXdgOutput{[](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
                                             static_cast<Output*>(data)->x = x;
                                             static_cast<Output*>(data)->y = y;
                                         },
                                         [](void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
                                             static_cast<Output*>(data)->width = w;
                                             static_cast<Output*>(data)->height = h;
                                         },
                                         [](void*, zxdg_output_v1*) {}, onXdgName,
                                         [](void*, zxdg_output_v1*, const char*) {}};

const xdg_wm_base_listener kWm{[](void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }};

const xdg_surface_listener kXdgSurface{[](void*, xdg_surface* s, std::uint32_t serial) {
    xdg_surface_ack_configure(s, serial);
    probe.configured = true;
}};

const xdg_toplevel_listener kToplevel{[](void*, xdg_toplevel*, std::int32_t w, std::int32_t h, wl_array*) {
                                          if ((w == 0 || h == 0) && probe.target != nullptr) {
                                              w = probe.target->width;
                                              h = probe.target->height;
                                          }
                                          if (w > 0 && h > 0 && (w != probe.width || h != probe.height)) {
                                              probe.width = w;
                                              probe.height = h;
                                              probe.shown = false;
                                          }
                                      },
                                      [](void*, xdg_toplevel*) { std::exit(0); },
                                      [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
                                      [](void*, xdg_toplevel*, wl_array*) {}};

const wl_pointer_listener kPointer{
    [](void*, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
        probe.pointerX = wl_fixed_to_double(x);
        probe.pointerY = wl_fixed_to_double(y);
    },
    [](void*, wl_pointer*, std::uint32_t, wl_surface*) {},
    [](void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
        probe.pointerX = wl_fixed_to_double(x);
        probe.pointerY = wl_fixed_to_double(y);
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button, std::uint32_t state) {
        say("button " + std::to_string(static_cast<int>(probe.pointerX)) + " " +
            std::to_string(static_cast<int>(probe.pointerY)) + " " + std::to_string(button) + " " +
            std::to_string(state));
    },
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
        say("axis " + std::to_string(axis) + " " + std::to_string(wl_fixed_to_int(value)));
    },
    [](void*, wl_pointer*) {},
    [](void*, wl_pointer*, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::uint32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {},
    [](void*, wl_pointer*, std::uint32_t, std::int32_t) {}};

const wl_keyboard_listener kKeyboard{
    [](void*, wl_keyboard*, std::uint32_t, int fd, std::uint32_t) { close(fd); },
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t key, std::uint32_t state) {
        say("key " + std::to_string(key) + " " + std::to_string(state));
    },
    [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void*, wl_keyboard*, std::int32_t, std::int32_t) {}};

// Input devices come and go (the host's virtual pointer and keyboard appear with its first event).
wl_pointer* pointer = nullptr;
wl_keyboard* keyboard = nullptr;
const wl_seat_listener kSeat{[](void*, wl_seat* seat, std::uint32_t caps) {
                                 // A pointer or keyboard the seat lost is inert: let it go, and ask again when it is
                                 // back.
                                 if ((caps & WL_SEAT_CAPABILITY_POINTER) == 0 && pointer != nullptr) {
                                     wl_pointer_release(pointer);
                                     pointer = nullptr;
                                 }
                                 if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) == 0 && keyboard != nullptr) {
                                     wl_keyboard_release(keyboard);
                                     keyboard = nullptr;
                                 }
                                 if ((caps & WL_SEAT_CAPABILITY_POINTER) != 0 && pointer == nullptr) {
                                     pointer = wl_seat_get_pointer(seat);
                                     wl_pointer_add_listener(pointer, &kPointer, nullptr);
                                 }
                                 if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && keyboard == nullptr) {
                                     keyboard = wl_seat_get_keyboard(seat);
                                     wl_keyboard_add_listener(keyboard, &kKeyboard, nullptr);
                                 }
                             },
                             [](void*, wl_seat*, const char*) {}};

void onGlobal(void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
    const std::string which = interface;
    if (which == wl_compositor_interface.name)
        probe.compositor = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    else if (which == wl_shm_interface.name)
        probe.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (which == xdg_wm_base_interface.name)
        probe.wm = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
    else if (which == wl_seat_interface.name && probe.seat == nullptr) {
        probe.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, 5u)));
        wl_seat_add_listener(probe.seat, &kSeat, nullptr); // its capabilities come at once
    } else if (which == zxdg_output_manager_v1_interface.name)
        probe.xdgOutputs = static_cast<zxdg_output_manager_v1*>(
            wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface, 2));
    else if (which == wl_output_interface.name) {
        auto* o = new Output;
        o->output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
        probe.outputs.push_back(o);
    }
}
const wl_registry_listener kRegistry{onGlobal, [](void*, wl_registry*, std::uint32_t) {}};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTPUT RRGGBB\n", argv[0]);
        return 2;
    }
    const std::string wanted = argv[1];
    probe.background = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 16));
    probe.display = wl_display_connect(nullptr);
    if (probe.display == nullptr) return 1;
    wl_registry_add_listener(wl_display_get_registry(probe.display), &kRegistry, nullptr);
    wl_display_roundtrip(probe.display);
    if (probe.compositor == nullptr || probe.shm == nullptr || probe.wm == nullptr || probe.xdgOutputs == nullptr)
        return 1;
    for (auto* o : probe.outputs) {
        o->xdg = zxdg_output_manager_v1_get_xdg_output(probe.xdgOutputs, o->output);
        zxdg_output_v1_add_listener(o->xdg, &kXdgOutput, o);
    }
    wl_display_roundtrip(probe.display);
    wl_output* target = nullptr;
    // An output by name, or by its place in the layout ("@X,Y").
    for (auto* o : probe.outputs)
        if (o->name == wanted || wanted == "@" + std::to_string(o->x) + "," + std::to_string(o->y)) {
            target = o->output;
            probe.target = o;
        }
    if (target == nullptr) {
        std::fprintf(stderr, "no output %s among:", wanted.c_str());
        for (const auto* o : probe.outputs)
            std::fprintf(stderr, " %s@%d,%d", o->name.c_str(), o->x, o->y);
        std::fprintf(stderr, "\n");
        return 1;
    }
    xdg_wm_base_add_listener(probe.wm, &kWm, nullptr);
    probe.surface = wl_compositor_create_surface(probe.compositor);
    probe.xsurface = xdg_wm_base_get_xdg_surface(probe.wm, probe.surface);
    xdg_surface_add_listener(probe.xsurface, &kXdgSurface, nullptr);
    probe.toplevel = xdg_surface_get_toplevel(probe.xsurface);
    xdg_toplevel_add_listener(probe.toplevel, &kToplevel, nullptr);
    xdg_toplevel_set_app_id(probe.toplevel, "kiv-probe");
    xdg_toplevel_set_fullscreen(probe.toplevel, target);
    wl_surface_commit(probe.surface);

    std::string pending;
    bool commands = true; // stdin open; without it the window just stays
    for (;;) {
        if (probe.configured && probe.width > 0 && !probe.shown) {
            makeBuffers();
            probe.changes.clear();
            probe.pending.clear();
            present(true);
            probe.shown = true;
            say("ready " + std::to_string(probe.width) + " " + std::to_string(probe.height));
        }
        wl_display_flush(probe.display);
        pollfd fds[2] = {{wl_display_get_fd(probe.display), POLLIN, 0}, {commands ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if ((fds[0].revents & POLLIN) != 0 && wl_display_dispatch(probe.display) < 0) return 0;
        if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) return 0;
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            char chunk[4096];
            const auto n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                commands = false;
                continue;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                int x = 0, y = 0, w = 0, h = 0;
                char verb[8] = {}, color[16] = {};
                if (line == "show") {
                    if (!probe.pending.empty()) present(false);
                } else if (std::sscanf(line.c_str(), "%7s %d %d %d %d %15s", verb, &x, &y, &w, &h, color) == 6) {
                    paint(x, y, w, h, static_cast<std::uint32_t>(std::strtoul(color, nullptr, 16)));
                    if (std::string_view(verb) == "rect") present(false);
                }
            }
        }
    }
}
