#pragma once
// The RandR adapter's state and the pieces it is built from: talking to the server (outputs,
// CRTCs, modes, monitors), laying the displays out, and watching for displays others removed.
// Internal to the Linux target.
#include <poll.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include "KivBase/KivLog.hpp"
#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"

namespace kiv::randr {
template <class T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

inline const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("VirtualDisplay");
    return logger;
}

// Millimetres at 96 dpi, for screens whose size the X server asks for.
inline std::uint32_t screenMillimeters(int pixels) {
    return static_cast<std::uint32_t>(pixels * 254 / 960);
}

inline bool checked(xcb_connection_t* c, xcb_void_cookie_t cookie, const char* what = "request") {
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    if (!error) return true;
    log().warning(fmt::format("RandR {} failed (error {}, minor {})", what, error->error_code, error->minor_code));
    std::free(error);
    return false;
}

inline constexpr int kMaxCoordinate = 32767;

// Display names on this server are process-wide unique; the counter only picks candidates.
inline std::atomic<std::uint32_t> nameCounter{0};

} // namespace kiv::randr

namespace kiv {

struct RandRVirtualDisplayAdapter::Impl : std::enable_shared_from_this<Impl> {
    template <class T>
    using Reply = randr::Reply<T>;

    struct Display {
        std::uint32_t id = 0; // the monitor name atom
        std::string name;
        xcb_randr_output_t output = 0; // own output (preferred path)
        xcb_randr_crtc_t crtc = 0;
        xcb_randr_mode_t mode = 0;
        int width = 0;
        int height = 0;
        int x = 0;
        double widthMillimeters = 0;
        double heightMillimeters = 0;
        bool shown = false;
        std::vector<ScreenModeInfo> modes;
        double drawScale = 1; // pixels per point on the X screen of its HiDPI modes, when last shown
        std::function<void()> onTerminated;
    };

    std::string displayName;
    std::function<void(std::function<void()>)> postToMain;
    mutable std::mutex mutex;
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    bool supported = false;
    std::vector<Display> displays; // in layout order, left to right

    // Logical-monitor fallback: the stretched CRTC and what it was before.
    xcb_randr_output_t fallbackOutput = 0;
    xcb_randr_crtc_t fallbackCrtc = 0;
    xcb_randr_mode_t originalMode = 0;
    xcb_randr_mode_t stretchMode = 0;
    int mainWidth = 0;
    int mainHeight = 0;
    bool stretched = false;

    // Where each listed monitor is, refreshed whenever the monitors are listed (by our own changes
    // and by the watcher on every RandR event): a touch reads it without the X server or `mutex`.
    mutable std::mutex boundsMutex;
    mutable std::map<std::uint32_t, RandRVirtualDisplayAdapter::Bounds> boundsCache;
    std::pair<int, int> reportedLargest{0, 0}; // the screen limit last logged

    std::thread watcher;
    std::atomic<bool> stopping{false};

    ~Impl() {
        stopping = true;
        if (watcher.joinable()) watcher.join();
        if (c) xcb_disconnect(c);
    }

    void open();

    xcb_atom_t atom(const std::string& name);

    // How much larger than 96 dpi the X desktop draws (its Xft.dpi), from 1 to 2. The X server
    // has one scale for every monitor, so a HiDPI display gets as many pixels per point as the
    // desktop draws, not 2: at scale 1, twice the pixels would show everything at half size.
    double desktopScale();
    double loggedScale = 0;

    std::vector<xcb_randr_monitor_info_t> monitors(xcb_connection_t* connection) const;

    bool listed(xcb_connection_t* connection, std::uint32_t id) const;

    // RRSetMonitor sent raw: libxcb 1.15's generated request asserts on its padding. The server
    // refuses to replace a monitor of the same name (BadValue), so any old one is deleted first.
    bool setMonitor(xcb_atom_t name, int x, int y, int width, int height, double mmW, double mmH,
                    const std::vector<xcb_randr_output_t>& outputs);

    struct Resources {
        Reply<xcb_randr_get_screen_resources_current_reply_t> reply;
        std::vector<xcb_randr_output_t> outputs;
        std::vector<xcb_randr_crtc_t> crtcs;
        xcb_timestamp_t config = 0;
    };
    Resources resources();
    Reply<xcb_randr_get_crtc_info_reply_t> crtcInfo(xcb_randr_crtc_t crtc, xcb_timestamp_t config);
    Reply<xcb_randr_get_output_info_reply_t> outputInfo(xcb_randr_output_t output, xcb_timestamp_t config);
    static std::string outputName(xcb_randr_get_output_info_reply_t* info);

    bool ours(xcb_randr_crtc_t crtc) const;

    // A disconnected output driving nothing, with a CRTC of its own that drives nothing either.
    std::optional<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>> spareOutput(std::string& name);

    xcb_randr_mode_t createMode(int width, int height, double refresh, const std::string& name);

    void dropMode(xcb_randr_output_t output, xcb_randr_mode_t mode);

    bool setScreenSize(int width, int height);
    // False, with the reason logged, when the X server cannot make its screen this large.
    bool screenCanGrowTo(int width, int height);

    bool setCrtc(xcb_randr_crtc_t crtc, int x, int y, xcb_randr_mode_t mode, xcb_randr_output_t output);

    std::pair<int, int> screenSize();
    // Non-empty when the screen cannot grow right of what it shows now by even a small monitor.
    std::string roomProblem();
    // What to do about a screen that cannot grow, for this kind of X server.
    std::string_view advice();

    // The area of every CRTC that is not ours: where the displays start to its right.
    std::pair<int, int> mainArea();

    // Gives every shown display its x, left to right from `left`; returns the right edge and the
    // height of the whole (at least `height`).
    std::pair<int, int> placeShown(int left, int height);

    // Places every shown display left to right after the main area and sizes the screen to fit.
    bool layoutOutputs();

    // Stretches the one CRTC over the main area plus every shown display, split into logical monitors.
    bool layoutMonitors();

    Display* find(std::uint32_t id);

    // Gives the display `pixelWidth`×`pixelHeight` and lays everything out again.
    bool show(Display& d, int pixelWidth, int pixelHeight);

    void remove(std::uint32_t id, bool touchServer);

    // Someone else turned a display's output off or deleted its monitor.
    void checkRemovals(xcb_connection_t* connection);
    // The desktop's own monitors changed size or place: the displays move back to its right edge.
    void followMainArea();

    void startWatcher();

    // Takes back what a host that died left on this server, unless a live host owns it; then
    // marks the server as this process's.
    void reclaimLeftovers();
    bool ownedByLiveHost();
    void claim();
    std::string atomName(xcb_atom_t name);
};

} // namespace kiv
