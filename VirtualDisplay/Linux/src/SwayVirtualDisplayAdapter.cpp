#include "VirtualDisplay/Linux/SwayVirtualDisplayAdapter.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fmt/format.h>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "KivBase/KivLog.hpp"
#include "SwayLeftovers.hpp"
#include "VirtualDisplay/Linux/SwayIpc.hpp"

namespace kiv {

namespace {
const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("VirtualDisplay");
    return logger;
}
constexpr int kMaxCoordinate = 16384;
std::atomic<std::uint32_t> nextDisplayID{0};
} // namespace

struct SwayVirtualDisplayAdapter::Impl : std::enable_shared_from_this<Impl> {
    struct Display {
        std::uint32_t id = 0;
        std::string output;
        std::vector<ScreenModeInfo> modes;
        double refresh = 60;
        bool shown = false;
        std::function<void()> onTerminated;
    };

    Options options;
    mutable std::mutex mutex;
    mutable SwayIpc ipc; // guarded by mutex, as is everything down to the bounds
    bool supported = false;
    std::string problem;
    SwayVersion version;
    std::vector<Display> displays;
    std::set<std::string> ours;     // every output this adapter made on the current compositor
    std::vector<std::string> spare; // of those, the ones no display uses now
    std::set<std::string> pinned;   // other outputs given their position, so ours never moves them
    sway::OutputLedger ledger;      // of the current compositor

    mutable std::mutex boundsMutex;
    std::map<std::uint32_t, Bounds> boundsCache;
    std::map<std::uint32_t, std::string> names;

    std::thread watcher;
    std::atomic<bool> stopping{false};

    Display* find(std::uint32_t id) {
        const auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
        return it == displays.end() ? nullptr : &*it;
    }

    bool connect() {
        if (ipc.connected()) return true;
        auto connected = ipc.connect(options.ipcSocket, options.runtimeDir);
        if (!connected) {
            problem = connected.error();
            return false;
        }
        if (auto v = ipc.version()) version = *v;
        problem.clear();
        ledger = sway::OutputLedger(ipc.path(), options.runtimeDir);
        reclaim();
        return true;
    }

    bool canUnplug() const { return version.major > 1 || (version.major == 1 && version.minor >= 8); }

    bool isSpare(const std::string& output) const { return std::ranges::find(spare, output) != spare.end(); }

    // An output no display uses any more: removed where the compositor can, else parked for the next.
    void retire(const std::string& output) {
        if (canUnplug() && run(fmt::format("output {} unplug", output))) {
            ours.erase(output);
            ledger.release(output);
            return;
        }
        const auto outputs = ipc.outputs();
        const std::vector<std::string> mine(ours.begin(), ours.end());
        if (!outputs || !sway::park(ipc, output, *outputs, mine, spare))
            log().warning(fmt::format("The compositor did not move {} out of the way", output));
        spare.push_back(output);
    }

    // What a host that ended without cleaning up (killed, crashed) left on this compositor.
    void reclaim() {
        ledger.removeStale();
        const auto taken = ledger.take();
        if (taken.left.empty() && taken.parked.empty()) return;
        const auto outputs = ipc.outputs();
        if (!outputs) return;
        const auto present = [&](const std::string& name) {
            if (std::ranges::any_of(*outputs, [&](const SwayOutput& o) { return o.name == name; })) return true;
            ledger.release(name);
            return false;
        };
        for (const auto& name : taken.parked)
            if (present(name)) {
                ours.insert(name);
                spare.push_back(name);
            }
        int left = 0;
        for (const auto& name : taken.left)
            if (present(name)) {
                ++left;
                ours.insert(name);
                retire(name);
            }
        if (left > 0) log().info(fmt::format("Took back {} output(s) a previous host left on the compositor", left));
    }

    // The outputs now; the cache of our displays' bounds follows. One reconnection on failure.
    std::optional<std::vector<SwayOutput>> list() {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connect()) return std::nullopt;
            auto outputs = ipc.outputs();
            if (outputs) {
                refreshBounds(*outputs);
                return std::move(*outputs);
            }
            problem = outputs.error();
        }
        return std::nullopt;
    }

    void refreshBounds(const std::vector<SwayOutput>& outputs) {
        std::map<std::uint32_t, Bounds> cache;
        std::map<std::uint32_t, std::string> named;
        for (const auto& d : displays) {
            named[d.id] = d.output;
            for (const auto& o : outputs)
                if (o.name == d.output && o.active) cache[d.id] = Bounds{o.x, o.y, o.width, o.height};
        }
        const std::lock_guard lock(boundsMutex);
        boundsCache = std::move(cache);
        names = std::move(named);
    }

    std::expected<void, std::string> run(const std::string& command) {
        if (!connect()) return std::unexpected(problem);
        auto done = ipc.command(command);
        if (!done) log().warning(fmt::format("The compositor refused \"{}\": {}", command, done.error()));
        return done;
    }

    std::optional<std::string> makeOutput() {
        while (!spare.empty()) {
            auto name = spare.back();
            spare.pop_back();
            if (const auto outputs = list();
                outputs && std::any_of(outputs->begin(), outputs->end(), [&](auto& o) { return o.name == name; })) {
                sway::unpark(ipc, name);
                return name;
            }
        }
        const auto before = list();
        if (!before || !run("create_output")) return std::nullopt;
        const auto after = list();
        if (!after) return std::nullopt;
        for (const auto& o : *after) {
            const bool existed =
                std::any_of(before->begin(), before->end(), [&](const SwayOutput& b) { return b.name == o.name; });
            if (!existed) {
                ours.insert(o.name);
                ledger.own(o.name);
                return o.name;
            }
        }
        log().warning("The compositor made no new output for a virtual display");
        return std::nullopt;
    }

    // Drives the display's output in `width`×`height` pixels at `scale`, right of every other
    // output; true once the compositor reports that mode.
    bool show(Display& d, int width, int height, double scale) {
        auto outputs = list();
        if (!outputs) return false;
        int right = 0, top = 0;
        bool first = true;
        for (const auto& o : *outputs) {
            if (!o.active || o.name == d.output || isSpare(o.name)) continue;
            if (!ours.contains(o.name) && !pinned.contains(o.name)) {
                // An output without a configured position is laid out after those with one: give
                // it the one it has, so placing ours never moves the user's screens.
                if (run(fmt::format("output {} pos {} {}", o.name, o.x, o.y))) pinned.insert(o.name);
            }
            right = std::max(right, o.x + o.width);
            top = first ? o.y : std::min(top, o.y);
            first = false;
        }
        const double asked = d.refresh > 0 ? d.refresh : 60;
        const auto command = [&](double refresh) {
            return fmt::format("output {} enable mode {}x{}@{:.3f}Hz pos {} {} scale {}", d.output, width, height,
                               refresh, right, top, scale);
        };
        bool done = static_cast<bool>(run(command(std::max(asked, options.minimumRefresh))));
        if (!done && asked < options.minimumRefresh) done = static_cast<bool>(run(command(asked)));
        if (!done) return false;
        outputs = list();
        if (!outputs) return false;
        for (const auto& o : *outputs) {
            if (o.name != d.output) continue;
            if (!o.active || o.modeWidth != width || o.modeHeight != height) {
                log().warning(fmt::format("The compositor shows {} in {}x{}, not {}x{}", o.name, o.modeWidth,
                                          o.modeHeight, width, height));
                return false;
            }
            d.shown = true; // the listing above gave its bounds
            return true;
        }
        return false;
    }

    void remove(std::uint32_t id) {
        auto* d = find(id);
        if (!d) return;
        const std::string output = d->output;
        displays.erase(displays.begin() + (d - displays.data()));
        if (ipc.connected() || connect()) retire(output);
        if (ipc.connected())
            if (const auto outputs = ipc.outputs()) refreshBounds(*outputs);
    }

    // The user's outputs changed size or place: ours move back to their right edge, side by side,
    // so no gap swallows the pointer and no grown output lies over them. True if any moved.
    bool followUserOutputs(const std::vector<SwayOutput>& outputs) {
        int right = 0, top = 0;
        bool any = false;
        std::vector<const SwayOutput*> mine;
        for (const auto& o : outputs) {
            if (!o.active) continue;
            if (ours.contains(o.name)) {
                if (!isSpare(o.name)) mine.push_back(&o);
                continue;
            }
            right = std::max(right, o.x + o.width);
            top = any ? std::min(top, o.y) : o.y;
            any = true;
        }
        if (!any || mine.empty()) return false;
        std::ranges::sort(mine, {}, [](const SwayOutput* o) { return o->x; });
        if (mine.front()->x == right && mine.front()->y == top) return false;
        log().info(fmt::format("The user's outputs now end at x={}: moving the devices' outputs there (from x={})",
                               right, mine.front()->x));
        for (const auto* o : mine) {
            static_cast<void>(run(fmt::format("output {} pos {} {}", o->name, right, top)));
            right += o->width;
        }
        return true;
    }

    // Output events: a display whose output is gone or off ends.
    void checkRemovals() {
        std::vector<std::function<void()>> handlers;
        {
            const std::lock_guard lock(mutex);
            const auto outputs = list();
            if (!outputs) return;
            std::vector<std::uint32_t> gone;
            for (const auto& d : displays) {
                if (!d.shown) continue;
                const bool present = std::any_of(outputs->begin(), outputs->end(),
                                                 [&](const SwayOutput& o) { return o.name == d.output && o.active; });
                if (!present) gone.push_back(d.id);
            }
            for (const auto id : gone) {
                auto* d = find(id);
                log().warning(fmt::format("Virtual display {} ({}) was removed outside the program", id, d->output));
                if (d->onTerminated) handlers.push_back(d->onTerminated);
                ours.erase(d->output);
                ledger.release(d->output);
                displays.erase(displays.begin() + (d - displays.data()));
            }
            if (!followUserOutputs(*outputs)) {
                refreshBounds(*outputs);
            } else if (const auto moved = list()) {
                refreshBounds(*moved);
            }
        }
        for (auto& handler : handlers)
            options.postToMain(std::move(handler));
    }

    // The compositor went away: every display of ours went with it.
    void compositorGone(const std::string& why) {
        std::vector<std::function<void()>> handlers;
        {
            const std::lock_guard lock(mutex);
            if (!displays.empty())
                log().warning(
                    fmt::format("The compositor went away ({}): {} virtual display(s) ended", why, displays.size()));
            for (auto& d : displays)
                if (d.onTerminated) handlers.push_back(std::move(d.onTerminated));
            displays.clear();
            ours.clear();
            spare.clear();
            pinned.clear();
            ipc.close();
            refreshBounds({});
        }
        for (auto& handler : handlers)
            options.postToMain(std::move(handler));
    }

    void watch() {
        bool wasConnected = false;
        while (!stopping) {
            SwayIpc events;
            if (!events.connect(options.ipcSocket, options.runtimeDir) ||
                !events.request(SwayIpc::Type::subscribe, R"(["output","shutdown"])")) {
                for (int i = 0; i < 10 && !stopping; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            if (wasConnected) log().info("The compositor is back: virtual displays can be made again");
            wasConnected = true;
            checkRemovals(); // anything that changed while nobody listened
            // sway sends no event when someone else changes an output's mode or scale: the layout
            // is listed again after a second without events, so the bounds touches use follow it.
            auto quietSince = std::chrono::steady_clock::now();
            while (!stopping) {
                auto event = events.readEvent(std::chrono::milliseconds(200));
                if (!event) {
                    compositorGone(event.error());
                    break;
                }
                if (!*event) {
                    if (std::chrono::steady_clock::now() - quietSince >= std::chrono::seconds(1)) {
                        checkRemovals();
                        quietSince = std::chrono::steady_clock::now();
                    }
                    continue;
                }
                quietSince = std::chrono::steady_clock::now();
                if ((*event)->first == 6) { // shutdown
                    compositorGone("it is shutting down");
                    break;
                }
                checkRemovals();
            }
        }
    }
};

class SwayVirtualDisplayObject : public VirtualDisplayObject {
public:
    SwayVirtualDisplayObject(std::weak_ptr<SwayVirtualDisplayAdapter::Impl> impl, std::uint32_t id)
        : impl_(std::move(impl)), id_(id) {}
    ~SwayVirtualDisplayObject() override { invalidate(); }

    std::uint32_t displayID() const override { return id_; }

    bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) override {
        auto impl = impl_.lock();
        if (!impl || modes.empty()) return false;
        const std::lock_guard lock(impl->mutex);
        auto* d = impl->find(id_);
        if (!d) return false;
        const std::uint32_t scale = hiDPI ? 2 : 1;
        std::vector<ScreenModeInfo> listed;
        for (const auto& mode : modes) {
            if (mode.width == 0 || mode.height == 0 || std::uint64_t{scale} * mode.width > kMaxCoordinate ||
                std::uint64_t{scale} * mode.height > kMaxCoordinate)
                return false;
            listed.push_back({mode.width, mode.height, scale * mode.width, scale * mode.height});
        }
        if (std::isfinite(modes[0].refreshRate) && modes[0].refreshRate > 0) d->refresh = modes[0].refreshRate;
        if (!impl->show(*d, static_cast<int>(listed[0].pixelWidth), static_cast<int>(listed[0].pixelHeight), scale))
            return false;
        d->modes = std::move(listed);
        return true;
    }

    void invalidate() override {
        auto impl = impl_.lock();
        if (!impl || std::exchange(invalidated_, true)) return;
        const std::lock_guard lock(impl->mutex);
        impl->remove(id_);
    }

private:
    std::weak_ptr<SwayVirtualDisplayAdapter::Impl> impl_;
    std::uint32_t id_;
    bool invalidated_ = false;
};

SwayVirtualDisplayAdapter::SwayVirtualDisplayAdapter(Options options) : impl_(std::make_shared<Impl>()) {
    impl_->options = std::move(options);
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->supported = impl_->connect() && impl_->list().has_value();
    }
    if (impl_->supported) impl_->watcher = std::thread([impl = impl_.get()] { impl->watch(); });
}

SwayVirtualDisplayAdapter::~SwayVirtualDisplayAdapter() {
    impl_->stopping = true;
    if (impl_->watcher.joinable()) impl_->watcher.join();
    const std::lock_guard lock(impl_->mutex);
    while (!impl_->displays.empty())
        impl_->remove(impl_->displays.back().id);
    for (const auto& output : impl_->spare)
        impl_->ledger.free(output);
}

bool SwayVirtualDisplayAdapter::isSupported() const {
    return impl_->supported;
}

std::string SwayVirtualDisplayAdapter::problem() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->problem;
}

std::unique_ptr<VirtualDisplayObject> SwayVirtualDisplayAdapter::create(const VirtualDisplayDescriptor& descriptor,
                                                                        std::function<void()> onTerminated) {
    if (!impl_->supported) return nullptr;
    const std::lock_guard lock(impl_->mutex);
    auto output = impl_->makeOutput();
    if (!output) return nullptr;
    Impl::Display d;
    d.id = ++nextDisplayID;
    d.output = *output;
    d.onTerminated = std::move(onTerminated);
    log().info(fmt::format("virtual display via compositor output {} ({})", d.output, descriptor.name));
    const auto id = d.id;
    impl_->displays.push_back(std::move(d));
    impl_->list(); // the bounds of the new display
    return std::make_unique<SwayVirtualDisplayObject>(impl_, id);
}

bool SwayVirtualDisplayAdapter::isOnline(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d) return false;
    const auto outputs = impl_->list();
    return outputs && std::any_of(outputs->begin(), outputs->end(),
                                  [&](const SwayOutput& o) { return o.name == d->output && o.active; });
}

std::vector<ScreenModeInfo> SwayVirtualDisplayAdapter::modes(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    return d ? d->modes : std::vector<ScreenModeInfo>{};
}

bool SwayVirtualDisplayAdapter::configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d || mode.pointWidth == 0 || std::find(d->modes.begin(), d->modes.end(), mode) == d->modes.end()) return false;
    return impl_->show(*d, static_cast<int>(mode.pixelWidth), static_cast<int>(mode.pixelHeight),
                       static_cast<double>(mode.pixelWidth) / mode.pointWidth);
}

std::optional<ScreenModeInfo> SwayVirtualDisplayAdapter::currentMode(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d) return std::nullopt;
    const auto outputs = impl_->list();
    if (!outputs) return std::nullopt;
    for (const auto& o : *outputs) {
        if (o.name != d->output || !o.active) continue;
        for (const auto& mode : d->modes)
            if (static_cast<int>(mode.pixelWidth) == o.modeWidth && static_cast<int>(mode.pixelHeight) == o.modeHeight)
                return mode;
    }
    return std::nullopt;
}

std::optional<SwayVirtualDisplayAdapter::Bounds> SwayVirtualDisplayAdapter::bounds(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->boundsMutex);
    const auto it = impl_->boundsCache.find(displayID);
    if (it == impl_->boundsCache.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> SwayVirtualDisplayAdapter::outputName(std::uint32_t displayID) const {
    const std::lock_guard lock(impl_->boundsMutex);
    const auto it = impl_->names.find(displayID);
    if (it == impl_->names.end()) return std::nullopt;
    return it->second;
}

} // namespace kiv
