#include "KivHostCore/Linux/MutterDesktop.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fmt/format.h>
#include <map>
#include <mutex>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "MutterDesktopImpl.hpp"
#include "MutterLayout.hpp"

namespace kiv {

namespace {
const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("VirtualDisplay");
    return logger;
}
constexpr std::uint32_t kMaxSide = 16384;
std::atomic<std::uint32_t> nextDisplayID{0};
} // namespace

MutterDesktop::Impl::Display* MutterDesktop::Impl::find(std::uint32_t id) {
    const auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
    return it == displays.end() ? nullptr : &*it;
}

void MutterDesktop::Impl::connect() {
    auto connected = MutterBus::connect(options.busAddress);
    if (!connected) {
        problem = connected.error();
        return;
    }
    bus = std::move(*connected);
    const auto version = bus->property("org.gnome.Mutter.ScreenCast", "/org/gnome/Mutter/ScreenCast",
                                       "org.gnome.Mutter.ScreenCast", "Version");
    if (!version) {
        problem = "GNOME's screen-cast service (org.gnome.Mutter.ScreenCast) does not answer on the session bus, so "
                  "this is not a GNOME 43 or later session (" +
                  version.error() + ")";
        return;
    }
    if (const auto devices = bus->property("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                                           "org.gnome.Mutter.RemoteDesktop", "SupportedDeviceTypes");
        !devices) {
        problem = "GNOME's remote-desktop service (org.gnome.Mutter.RemoteDesktop) does not answer on the session "
                  "bus (" +
                  devices.error() + ")";
        return;
    }
    auto pipewire = PipeWireVideo::connect(options.pipewireRemote);
    if (!pipewire) {
        problem = pipewire.error() + "; start it with systemctl --user enable --now pipewire wireplumber";
        return;
    }
    video = std::move(*pipewire);
    supported = true;
    layoutSignal = bus->subscribe("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                  "org.gnome.Mutter.DisplayConfig", "MonitorsChanged",
                                  [weak = weak_from_this()](const std::string&, GVariant*) {
                                      if (const auto self = weak.lock())
                                          self->post([weak] {
                                              if (const auto impl = weak.lock()) impl->relayout();
                                          });
                                  });
    nameWatch = bus->watchName("org.gnome.Mutter.ScreenCast", [weak = weak_from_this()](bool owned) {
        if (owned) return;
        if (const auto self = weak.lock())
            self->post([weak] {
                if (const auto impl = weak.lock()) impl->endAll("the compositor went away");
            });
    });
}

void MutterDesktop::Impl::post(std::function<void()> task) const {
    if (options.postToMain) options.postToMain(std::move(task));
}

// A display's monitor in its first mode, replacing the one it had; false when none was made.
bool MutterDesktop::Impl::show(std::uint32_t id, const ScreenModeInfo& mode, double refresh, bool rescaled) {
    std::shared_ptr<MutterMonitor> old;
    {
        const std::lock_guard lock(mutex);
        auto* d = find(id);
        if (!d) return false;
        old = std::move(d->monitor);
        d->current.reset();
    }
    old.reset(); // the old monitor goes first, so the new one takes its place in the layout
    MutterMonitor::Events events;
    events.picture = [weak = weak_from_this(), id](bool fresh) {
        if (const auto self = weak.lock()) self->pictureArrived(id, fresh);
    };
    const auto generation = ++monitorGeneration;
    events.ended = [weak = weak_from_this(), id, generation](const std::string& why) {
        if (const auto self = weak.lock())
            self->post([weak, id, generation, why] {
                if (const auto impl = weak.lock()) impl->ended(id, generation, why);
            });
    };
    const auto wanted = std::max(refresh, options.minimumRefresh);
    std::vector<std::string> before;
    double primaryScale = 1;
    for (const auto& screen : readMutterLayout(*bus)) {
        before.push_back(screen.connector);
        if (screen.primary) primaryScale = screen.scale;
    }
    const double scale = drawScale > 0 ? drawScale.load() : primaryScale;
    const auto [width, height] = mode.drawnAt(scale);
    auto monitor = MutterMonitor::start(bus, video, width, height, wanted, std::move(events));
    if (!monitor) {
        log().warning("No virtual monitor: " + monitor.error());
        return false;
    }
    if ((*monitor)->width() != width || (*monitor)->height() != height) {
        log().warning(fmt::format("The compositor made a {}x{} monitor, not {}x{}", (*monitor)->width(),
                                  (*monitor)->height(), width, height));
        return false;
    }
    // The monitor is the connector that was not there before; it shows up in the layout shortly
    // after the stream's format is agreed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        const auto screens = readMutterLayout(*bus);
        const auto it = std::find_if(screens.begin(), screens.end(), [&](const MutterScreen& screen) {
            return std::find(before.begin(), before.end(), screen.connector) == before.end();
        });
        if (it != screens.end()) {
            if (!rescaled && mode.pixelWidth > mode.pointWidth && std::abs(it->scale - scale) > 0.01) {
                log().info(fmt::format("The compositor draws virtual monitors at {:.2f}×: made again at that scale",
                                       it->scale));
                drawScale = it->scale;
                monitor->reset();
                return show(id, mode, refresh, true);
            }
            drawScale = it->scale;
            (*monitor)->place(it->connector, it->rect);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            log().warning("The compositor's layout does not show the new virtual monitor");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        const std::lock_guard lock(mutex);
        auto* d = find(id);
        if (!d) return false;
        d->monitor = std::shared_ptr<MutterMonitor>(std::move(*monitor));
        d->generation = generation;
        d->current = mode;
    }
    relayout();
    return true;
}

// Every monitor's place again (a monitor made or ended moves the others), then the watchers.
void MutterDesktop::Impl::relayout() {
    std::vector<std::shared_ptr<MutterMonitor>> monitors;
    {
        const std::lock_guard lock(mutex);
        for (const auto& d : displays)
            if (d.monitor) monitors.push_back(d.monitor);
    }
    const auto screens = readMutterLayout(*bus);
    for (const auto& m : monitors) {
        const auto connector = m->connector();
        const auto it = std::find_if(screens.begin(), screens.end(),
                                     [&](const MutterScreen& screen) { return screen.connector == connector; });
        m->place(connector, it == screens.end() ? std::nullopt : std::optional<ScreenRect>(it->rect));
    }
    std::vector<std::function<void()>> handlers;
    {
        const std::lock_guard lock(watchMutex);
        for (const auto& [token, watcher] : watchers)
            if (watcher.layoutChanged) handlers.push_back(watcher.layoutChanged);
    }
    for (auto& handler : handlers)
        handler();
}

void MutterDesktop::Impl::pictureArrived(std::uint32_t id, bool fresh) {
    std::vector<std::function<void(bool)>> handlers;
    {
        const std::lock_guard lock(watchMutex);
        for (const auto& [token, watcher] : watchers)
            if (watcher.displayID == id && watcher.picture) handlers.push_back(watcher.picture);
    }
    for (auto& handler : handlers)
        handler(fresh);
}

void MutterDesktop::Impl::ended(std::uint32_t id, std::uint64_t generation, const std::string& why) {
    std::function<void()> handler;
    std::shared_ptr<MutterMonitor> monitor;
    {
        const std::lock_guard lock(mutex);
        auto* d = find(id);
        if (!d || d->generation != generation || !d->monitor) return; // one we replaced or removed
        log().warning(fmt::format("Virtual display {} was removed outside the program ({})", id, why));
        handler = std::move(d->onTerminated);
        monitor = std::move(d->monitor);
        displays.erase(displays.begin() + (d - displays.data()));
    }
    monitor.reset();
    relayout();
    if (handler) handler();
}

void MutterDesktop::Impl::endAll(const std::string& why) {
    std::vector<std::function<void()>> handlers;
    std::vector<std::shared_ptr<MutterMonitor>> monitors;
    {
        const std::lock_guard lock(mutex);
        if (!displays.empty())
            log().warning(
                fmt::format("The compositor went away ({}): {} virtual display(s) ended", why, displays.size()));
        for (auto& d : displays) {
            if (d.onTerminated) handlers.push_back(std::move(d.onTerminated));
            if (d.monitor) monitors.push_back(std::move(d.monitor));
        }
        displays.clear();
    }
    monitors.clear();
    relayout();
    for (auto& handler : handlers)
        handler();
}

std::optional<ScreenRect> MutterDesktop::Impl::primaryScreen() const {
    if (!bus) return std::nullopt;
    const auto screens = readMutterLayout(*bus);
    for (const auto& screen : screens)
        if (screen.primary) return screen.rect;
    return std::nullopt;
}

std::shared_ptr<MutterMonitor> MutterDesktop::Impl::monitorAt(double x, double y, ScreenRect* where) const {
    const std::lock_guard lock(mutex);
    for (const auto& d : displays) {
        if (!d.monitor) continue;
        const auto rect = d.monitor->layout();
        if (rect && x >= rect->x && y >= rect->y && x < rect->x + rect->width && y < rect->y + rect->height) {
            if (where != nullptr) *where = *rect;
            return d.monitor;
        }
    }
    return nullptr;
}

std::optional<std::uint32_t> MutterDesktop::Impl::displayShowing(const ScreenRect& rect) const {
    const std::lock_guard lock(mutex);
    for (const auto& d : displays)
        if (d.monitor && d.monitor->layout() == rect) return d.id;
    return std::nullopt;
}

std::shared_ptr<MutterMonitor> MutterDesktop::Impl::monitor(std::uint32_t id) const {
    const std::lock_guard lock(mutex);
    const auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
    return it == displays.end() ? nullptr : it->monitor;
}

class MutterDisplayObject : public VirtualDisplayObject {
public:
    MutterDisplayObject(std::weak_ptr<MutterDesktop::Impl> impl, std::uint32_t id) : impl_(std::move(impl)), id_(id) {}
    ~MutterDisplayObject() override { invalidate(); }

    std::uint32_t displayID() const override { return id_; }

    bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) override {
        auto impl = impl_.lock();
        if (!impl || modes.empty()) return false;
        const std::uint32_t scale = hiDPI ? 2 : 1;
        std::vector<ScreenModeInfo> listed;
        for (const auto& mode : modes) {
            if (mode.width == 0 || mode.height == 0 || std::uint64_t{scale} * mode.width > kMaxSide ||
                std::uint64_t{scale} * mode.height > kMaxSide)
                return false;
            listed.push_back({mode.width, mode.height, scale * mode.width, scale * mode.height});
        }
        double refresh = 60;
        {
            const std::lock_guard lock(impl->mutex);
            auto* d = impl->find(id_);
            if (!d) return false;
            if (std::isfinite(modes[0].refreshRate) && modes[0].refreshRate > 0) d->refresh = modes[0].refreshRate;
            refresh = d->refresh;
            if (d->monitor && d->current && d->current->pixelWidth == listed[0].pixelWidth &&
                d->current->pixelHeight == listed[0].pixelHeight) {
                d->modes = std::move(listed); // same picture size: the monitor stays
                return true;
            }
        }
        if (!impl->show(id_, listed[0], refresh)) return false;
        const std::lock_guard lock(impl->mutex);
        if (auto* d = impl->find(id_)) d->modes = std::move(listed);
        return true;
    }

    void invalidate() override {
        auto impl = impl_.lock();
        if (!impl || std::exchange(invalidated_, true)) return;
        std::shared_ptr<MutterMonitor> monitor;
        {
            const std::lock_guard lock(impl->mutex);
            auto* d = impl->find(id_);
            if (!d) return;
            monitor = std::move(d->monitor);
            impl->displays.erase(impl->displays.begin() + (d - impl->displays.data()));
        }
        monitor.reset();
        impl->relayout();
    }

private:
    std::weak_ptr<MutterDesktop::Impl> impl_;
    std::uint32_t id_;
    bool invalidated_ = false;
};

MutterDesktop::MutterDesktop(Options options) : impl_(std::make_shared<Impl>()) {
    impl_->options = std::move(options);
    impl_->connect();
}

MutterDesktop::~MutterDesktop() {
    std::vector<std::shared_ptr<MutterMonitor>> monitors;
    {
        const std::lock_guard lock(impl_->mutex);
        for (auto& d : impl_->displays)
            if (d.monitor) monitors.push_back(std::move(d.monitor));
        impl_->displays.clear();
    }
    monitors.clear();
    if (impl_->bus) {
        impl_->bus->unwatchName(impl_->nameWatch);
        impl_->bus->unsubscribe(impl_->layoutSignal);
    }
}

bool MutterDesktop::isSupported() const {
    return impl_->supported;
}

std::string MutterDesktop::problem() const {
    return impl_->supported ? std::string() : impl_->problem;
}

std::unique_ptr<VirtualDisplayObject> MutterDesktop::create(const VirtualDisplayDescriptor& descriptor,
                                                            std::function<void()> onTerminated) {
    if (!impl_->supported) return nullptr;
    Impl::Display d;
    d.id = ++nextDisplayID;
    d.onTerminated = std::move(onTerminated);
    log().info(fmt::format("virtual display via a screen-cast virtual monitor ({})", descriptor.name));
    const auto id = d.id;
    const std::lock_guard lock(impl_->mutex);
    impl_->displays.push_back(std::move(d));
    return std::make_unique<MutterDisplayObject>(impl_, id);
}

bool MutterDesktop::isOnline(std::uint32_t displayID) const {
    const auto monitor = impl_->monitor(displayID);
    return monitor && !impl_->bus->closed();
}

std::vector<ScreenModeInfo> MutterDesktop::modes(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    return d ? d->modes : std::vector<ScreenModeInfo>{};
}

bool MutterDesktop::configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) {
    double refresh = 60;
    {
        const std::lock_guard lock(impl_->mutex);
        auto* d = impl_->find(displayID);
        if (!d || mode.pointWidth == 0 || std::find(d->modes.begin(), d->modes.end(), mode) == d->modes.end())
            return false;
        if (d->current == mode && d->monitor) return true;
        refresh = d->refresh;
    }
    return impl_->show(displayID, mode, refresh);
}

std::optional<ScreenModeInfo> MutterDesktop::currentMode(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d || !d->monitor) return std::nullopt;
    return d->current;
}

std::optional<std::pair<int, int>> MutterDesktop::drawnSize(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d || !d->monitor) return std::nullopt;
    return std::pair{d->monitor->width(), d->monitor->height()};
}

std::optional<ScreenRect> MutterDesktop::bounds(std::uint32_t displayID) const {
    const auto monitor = impl_->monitor(displayID);
    return monitor ? monitor->layout() : std::nullopt;
}

std::optional<bool> MutterDesktop::displaysAsleep() const {
    if (!impl_->bus) return std::nullopt;
    const auto mode = impl_->bus->property("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                           "org.gnome.Mutter.DisplayConfig", "PowerSaveMode");
    if (!mode || !g_variant_is_of_type(mode->get(), G_VARIANT_TYPE_INT32)) return std::nullopt;
    const auto level = g_variant_get_int32(mode->get()); // 0 on, 1 standby, 2 suspend, 3 off, -1 unknown
    if (level < 0) return std::nullopt;
    return level > 0;
}

std::vector<MutterDesktop::Screen> MutterDesktop::screens(const std::string& busAddress) {
    const auto bus = MutterBus::connect(busAddress);
    return bus ? readMutterLayout(**bus) : std::vector<Screen>{};
}

} // namespace kiv
