#pragma once
// What the GNOME desktop's adapter, grabbers and poster share.
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "KivHostCore/Linux/MutterDesktop.hpp"
#include "MutterMonitor.hpp"

namespace kiv {

struct MutterDesktop::Impl : std::enable_shared_from_this<Impl> {
    struct Display {
        std::uint32_t id = 0;
        std::vector<ScreenModeInfo> modes;
        std::optional<ScreenModeInfo> current; // what the monitor shows, while it lives
        double refresh = 60;
        std::shared_ptr<MutterMonitor> monitor;
        std::uint64_t generation = 0; // of the monitor, so the end of a replaced one is ignored
        std::function<void()> onTerminated;
    };
    // A grabber's interest in a display's pictures and in the layout.
    struct Watcher {
        std::uint32_t displayID = 0;
        std::function<void(bool fresh)> picture; // on PipeWire's thread
        std::function<void()> layoutChanged;     // on whichever thread changed it
    };

    Options options;
    std::shared_ptr<MutterBus> bus;
    std::shared_ptr<PipeWireVideo> video;
    bool supported = false;
    std::string problem;
    unsigned nameWatch = 0;
    unsigned layoutSignal = 0;
    std::atomic<std::uint64_t> monitorGeneration{0};

    // Never held while a monitor is made or ended, or while the bus or PipeWire is waited on.
    mutable std::mutex mutex;
    std::vector<Display> displays;

    mutable std::mutex watchMutex; // only while handlers are copied
    std::map<std::uint64_t, Watcher> watchers;
    std::uint64_t nextWatcher = 0;

    void connect();
    void post(std::function<void()> task) const;
    Display* find(std::uint32_t id);
    bool show(std::uint32_t id, const ScreenModeInfo& mode, double refresh, bool rescaled = false);
    // Pixels per point the compositor drew our last monitor at: a HiDPI mode is made that many
    // pixels per point, not 2, so its text is the size the compositor gives it anywhere else.
    // Until a monitor of ours was shown, the primary monitor's.
    std::atomic<double> drawScale{0};
    void relayout();
    void pictureArrived(std::uint32_t id, bool fresh);
    void ended(std::uint32_t id, std::uint64_t generation, const std::string& why);
    void endAll(const std::string& why);
    std::shared_ptr<MutterMonitor> monitor(std::uint32_t id) const;
    std::shared_ptr<MutterMonitor> monitorAt(double x, double y, ScreenRect* where) const;
    std::optional<std::uint32_t> displayShowing(const ScreenRect& rect) const;
    // The primary monitor's place in the desktop, from the compositor's display configuration.
    std::optional<ScreenRect> primaryScreen() const;
};

} // namespace kiv
