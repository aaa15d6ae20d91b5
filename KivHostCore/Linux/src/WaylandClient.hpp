#pragma once
// One connection to a Wayland compositor with the globals the host uses: outputs with their
// names and layout rectangles (xdg-output), shared memory, the seat, and the wlroots capture and
// input managers. Internal to the Linux target; used from one thread (or serial queue) at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_output;
struct wl_shm;
struct wl_seat;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;

namespace kiv {

class WaylandClient;

struct WaylandOutput {
    WaylandClient* client = nullptr;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::uint32_t global = 0;
    std::string name;
    // Logical rectangle in the layout, and the mode in pixels.
    int x = 0, y = 0, width = 0, height = 0;
    int modeWidth = 0, modeHeight = 0;
    bool contains(double px, double py) const { return px >= x && py >= y && px < x + width && py < y + height; }
};

class WaylandClient {
public:
    // `display`: a socket name or absolute path ("" = $WAYLAND_DISPLAY). Nothing, with `why`, when
    // the compositor cannot be reached or lacks xdg-output.
    static std::unique_ptr<WaylandClient> connect(const std::string& display, std::string& why);
    ~WaylandClient();
    WaylandClient(const WaylandClient&) = delete;
    WaylandClient& operator=(const WaylandClient&) = delete;

    wl_display* display() const { return display_; }
    int fd() const;
    // Reads what has arrived without waiting, handles it and sends what is queued. False once the
    // connection is broken (then nothing works any more).
    bool pump();
    // Waits up to `timeoutMs` for something to arrive, then pumps. False once broken.
    bool pumpWaiting(int timeoutMs);
    bool roundtrip();
    bool broken() const { return broken_; }
    // The connection's error as a sentence, once broken.
    std::string error() const;

    const std::vector<std::unique_ptr<WaylandOutput>>& outputs() const { return outputs_; }
    WaylandOutput* outputNamed(const std::string& name) const;
    WaylandOutput* outputAt(double x, double y) const;
    // Runs after outputs were added, removed, moved or resized.
    std::function<void()> onOutputsChanged;

    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    zxdg_output_manager_v1* xdgOutputs = nullptr;
    zwlr_screencopy_manager_v1* screencopy = nullptr;
    std::uint32_t screencopyVersion = 0;
    zwlr_virtual_pointer_manager_v1* pointers = nullptr;
    std::uint32_t pointersVersion = 0;
    zwp_virtual_keyboard_manager_v1* keyboards = nullptr;

    // Registry and output callbacks (public for the C listeners).
    void global(std::uint32_t name, const char* interface, std::uint32_t version);
    void globalRemoved(std::uint32_t name);
    void outputChanged();

private:
    WaylandClient() = default;
    void watchOutput(WaylandOutput& output);
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    std::vector<std::unique_ptr<WaylandOutput>> outputs_;
    bool broken_ = false;
};

} // namespace kiv
