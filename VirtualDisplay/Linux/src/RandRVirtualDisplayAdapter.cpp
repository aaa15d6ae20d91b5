#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"

#include <poll.h>
#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <mutex>
#include <thread>

#include "KivProtocol/KivLog.hpp"

namespace kiv {
namespace {

template <class T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

const KivLogger& log() {
    static const KivLogger logger = KivLog::logger("VirtualDisplay");
    return logger;
}

// Millimetres at 96 dpi, for screens whose size the X server asks for.
std::uint32_t screenMillimeters(int pixels) { return static_cast<std::uint32_t>(pixels * 254 / 960); }

bool checked(xcb_connection_t* c, xcb_void_cookie_t cookie, const char* what = "request") {
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    if (!error) return true;
    log().warning(fmt::format("RandR {} failed (error {}, minor {})", what, error->error_code, error->minor_code));
    std::free(error);
    return false;
}

constexpr int kMaxCoordinate = 32767;

// Display names on this server are process-wide unique; the counter only picks candidates.
std::atomic<std::uint32_t> nameCounter{0};

} // namespace

struct RandRVirtualDisplayAdapter::Impl : std::enable_shared_from_this<Impl> {
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

    std::thread watcher;
    std::atomic<bool> stopping{false};

    ~Impl() {
        stopping = true;
        if (watcher.joinable()) watcher.join();
        if (c) xcb_disconnect(c);
    }

    void open() {
        c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr);
        if (xcb_connection_has_error(c) != 0) return;
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        const auto* extension = xcb_get_extension_data(c, &xcb_randr_id);
        if (!extension || !extension->present) return;
        Reply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
        supported = version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5));
    }

    xcb_atom_t atom(const std::string& name) {
        Reply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
        return reply ? reply->atom : 0;
    }

    std::vector<xcb_randr_monitor_info_t> monitors(xcb_connection_t* connection) const {
        std::vector<xcb_randr_monitor_info_t> result;
        Reply<xcb_randr_get_monitors_reply_t> reply(
            xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
        if (!reply) return result;
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0; xcb_randr_monitor_info_next(&it))
            result.push_back(*it.data);
        return result;
    }

    bool listed(xcb_connection_t* connection, std::uint32_t id) const {
        for (const auto& monitor : monitors(connection))
            if (monitor.name == id) return true;
        return false;
    }

    // RRSetMonitor sent raw: libxcb 1.15's generated request asserts on its padding. The server
    // refuses to replace a monitor of the same name (BadValue), so any old one is deleted first.
    bool setMonitor(xcb_atom_t name, int x, int y, int width, int height, double mmW, double mmH,
                    const std::vector<xcb_randr_output_t>& outputs) {
        if (const auto error = xcb_request_check(c, xcb_randr_delete_monitor_checked(c, root, name))) std::free(error);
        std::vector<std::uint8_t> body(4 + 4 + sizeof(xcb_randr_monitor_info_t) + 4 * outputs.size());
        std::memcpy(body.data() + 4, &root, 4);
        xcb_randr_monitor_info_t info{};
        info.name = name;
        info.nOutput = static_cast<std::uint16_t>(outputs.size());
        info.x = static_cast<std::int16_t>(x);
        info.y = static_cast<std::int16_t>(y);
        info.width = static_cast<std::uint16_t>(width);
        info.height = static_cast<std::uint16_t>(height);
        info.width_in_millimeters = static_cast<std::uint32_t>(std::max(1.0, mmW));
        info.height_in_millimeters = static_cast<std::uint32_t>(std::max(1.0, mmH));
        std::memcpy(body.data() + 8, &info, sizeof info);
        if (!outputs.empty()) std::memcpy(body.data() + 8 + sizeof info, outputs.data(), 4 * outputs.size());
        iovec parts[3];
        parts[2].iov_base = body.data();
        parts[2].iov_len = body.size();
        xcb_protocol_request_t request{1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
        const unsigned sequence = xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &request);
        return checked(c, xcb_void_cookie_t{sequence}, "SetMonitor");
    }

    struct Resources {
        Reply<xcb_randr_get_screen_resources_current_reply_t> reply;
        std::vector<xcb_randr_output_t> outputs;
        std::vector<xcb_randr_crtc_t> crtcs;
        xcb_timestamp_t config = 0;
    };
    Resources resources() {
        Resources r;
        r.reply.reset(xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr));
        if (!r.reply) return r;
        const auto* outputs = xcb_randr_get_screen_resources_current_outputs(r.reply.get());
        r.outputs.assign(outputs, outputs + xcb_randr_get_screen_resources_current_outputs_length(r.reply.get()));
        const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(r.reply.get());
        r.crtcs.assign(crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(r.reply.get()));
        r.config = r.reply->config_timestamp;
        return r;
    }
    Reply<xcb_randr_get_crtc_info_reply_t> crtcInfo(xcb_randr_crtc_t crtc, xcb_timestamp_t config) {
        return Reply<xcb_randr_get_crtc_info_reply_t>(xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, config), nullptr));
    }
    Reply<xcb_randr_get_output_info_reply_t> outputInfo(xcb_randr_output_t output, xcb_timestamp_t config) {
        return Reply<xcb_randr_get_output_info_reply_t>(
            xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, config), nullptr));
    }
    static std::string outputName(xcb_randr_get_output_info_reply_t* info) {
        return {reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info)),
                static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info))};
    }

    bool ours(xcb_randr_crtc_t crtc) const {
        return std::any_of(displays.begin(), displays.end(), [&](const Display& d) { return d.crtc == crtc && crtc != 0; });
    }

    // A disconnected output driving nothing, with a CRTC of its own that drives nothing either.
    std::optional<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>> spareOutput(std::string& name) {
        auto r = resources();
        for (const auto output : r.outputs) {
            if (std::any_of(displays.begin(), displays.end(), [&](const Display& d) { return d.output == output; })) continue;
            auto info = outputInfo(output, r.config);
            if (!info || info->crtc != 0 || info->connection != XCB_RANDR_CONNECTION_DISCONNECTED) continue;
            const auto* possible = xcb_randr_get_output_info_crtcs(info.get());
            for (int i = 0; i < xcb_randr_get_output_info_crtcs_length(info.get()); ++i) {
                if (ours(possible[i])) continue;
                auto crtc = crtcInfo(possible[i], r.config);
                if (crtc && crtc->mode == 0 && crtc->num_outputs == 0) {
                    name = outputName(info.get());
                    return std::pair{output, possible[i]};
                }
            }
        }
        return std::nullopt;
    }

    xcb_randr_mode_t createMode(int width, int height, double refresh, const std::string& name) {
        xcb_randr_mode_info_t info{};
        info.width = static_cast<std::uint16_t>(width);
        info.height = static_cast<std::uint16_t>(height);
        info.hsync_start = static_cast<std::uint16_t>(width + 48);
        info.hsync_end = static_cast<std::uint16_t>(width + 80);
        info.htotal = static_cast<std::uint16_t>(width + 160);
        info.vsync_start = static_cast<std::uint16_t>(height + 3);
        info.vsync_end = static_cast<std::uint16_t>(height + 8);
        info.vtotal = static_cast<std::uint16_t>(height + 40);
        info.dot_clock = static_cast<std::uint32_t>(static_cast<double>(info.htotal) * info.vtotal * refresh);
        info.name_len = static_cast<std::uint16_t>(name.size());
        info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_NEGATIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
        Reply<xcb_randr_create_mode_reply_t> reply(
            xcb_randr_create_mode_reply(c, xcb_randr_create_mode(c, root, info, static_cast<std::uint32_t>(name.size()), name.data()), nullptr));
        if (!reply) log().warning(fmt::format("RandR CreateMode {}x{} failed", width, height));
        return reply ? reply->mode : 0;
    }

    void dropMode(xcb_randr_output_t output, xcb_randr_mode_t mode) {
        if (mode == 0) return;
        if (output != 0) checked(c, xcb_randr_delete_output_mode_checked(c, output, mode));
        checked(c, xcb_randr_destroy_mode_checked(c, mode));
    }

    bool setScreenSize(int width, int height) {
        return checked(c, xcb_randr_set_screen_size_checked(c, root, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height),
                                                           screenMillimeters(width), screenMillimeters(height)),
                       "SetScreenSize");
    }

    bool setCrtc(xcb_randr_crtc_t crtc, int x, int y, xcb_randr_mode_t mode, xcb_randr_output_t output) {
        const auto r = resources();
        Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
            c, xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, r.config, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                         mode, XCB_RANDR_ROTATION_ROTATE_0, mode ? 1 : 0, mode ? &output : nullptr),
            nullptr));
        if (reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS) return true;
        log().warning(fmt::format("RandR SetCrtcConfig failed (status {})", reply ? int{reply->status} : -1));
        return false;
    }

    std::pair<int, int> screenSize() {
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, root), nullptr));
        return geometry ? std::pair{int{geometry->width}, int{geometry->height}} : std::pair{0, 0};
    }

    // The area of every CRTC that is not ours: where the displays start to its right.
    std::pair<int, int> mainArea() {
        auto r = resources();
        int right = 0;
        int bottom = 0;
        for (const auto crtc : r.crtcs) {
            if (ours(crtc)) continue;
            auto info = crtcInfo(crtc, r.config);
            if (!info || info->mode == 0) continue;
            right = std::max(right, info->x + info->width);
            bottom = std::max(bottom, info->y + info->height);
        }
        return {right, bottom};
    }

    // Places every shown display left to right after the main area and sizes the screen to fit.
    bool layoutOutputs() {
        const auto [mainRight, mainBottom] = mainArea();
        int x = mainRight;
        int height = mainBottom;
        for (auto& d : displays) {
            if (!d.shown) continue;
            d.x = x;
            x += d.width;
            height = std::max(height, d.height);
        }
        if (x > kMaxCoordinate || height > kMaxCoordinate) return false; // beyond what X coordinates can hold
        const auto [oldW, oldH] = screenSize();
        bool ok = setScreenSize(std::max(oldW, x), std::max(oldH, height));
        for (auto& d : displays)
            if (d.shown) ok = setCrtc(d.crtc, d.x, 0, d.mode, d.output) && ok;
        ok = setScreenSize(std::max(x, 1), std::max(height, 1)) && ok;
        for (auto& d : displays)
            if (d.shown) ok = setMonitor(d.id, d.x, 0, d.width, d.height, d.widthMillimeters, d.heightMillimeters, {d.output}) && ok;
        return ok;
    }

    // Stretches the one CRTC over the main area plus every shown display, split into logical monitors.
    bool layoutMonitors() {
        auto r = resources();
        if (!stretched) {
            // Remember the desktop as it is before the first display.
            for (const auto crtc : r.crtcs) {
                auto info = crtcInfo(crtc, r.config);
                if (!info || info->mode == 0 || info->num_outputs == 0) continue;
                fallbackCrtc = crtc;
                fallbackOutput = xcb_randr_get_crtc_info_outputs(info.get())[0];
                originalMode = info->mode;
                mainWidth = info->x + info->width;
                mainHeight = info->y + info->height;
                break;
            }
            if (fallbackCrtc == 0) return false;
        }
        int width = mainWidth;
        int height = mainHeight;
        for (auto& d : displays) {
            if (!d.shown) continue;
            d.x = width;
            width += d.width;
            height = std::max(height, d.height);
        }
        if (width > kMaxCoordinate || height > kMaxCoordinate) return false;
        const auto [oldW, oldH] = screenSize();
        const auto mainAtom = atom("KIV-MAIN");
        if (width == mainWidth && height == mainHeight) {
            if (!stretched) return true;
            bool ok = setCrtc(fallbackCrtc, 0, 0, originalMode, fallbackOutput);
            ok = setScreenSize(mainWidth, mainHeight) && ok;
            checked(c, xcb_randr_delete_monitor_checked(c, root, mainAtom));
            dropMode(fallbackOutput, std::exchange(stretchMode, 0));
            stretched = false;
            return ok;
        }
        const auto mode = createMode(width, height, 60, fmt::format("KIV-screen-{}x{}-{}", width, height, nameCounter++));
        if (mode == 0 || !checked(c, xcb_randr_add_output_mode_checked(c, fallbackOutput, mode))) return false;
        bool ok = setScreenSize(std::max(oldW, width), std::max(oldH, height));
        ok = setCrtc(fallbackCrtc, 0, 0, mode, fallbackOutput) && ok;
        ok = setScreenSize(width, height) && ok;
        dropMode(fallbackOutput, std::exchange(stretchMode, mode));
        stretched = true;
        ok = setMonitor(mainAtom, 0, 0, mainWidth, mainHeight, mainWidth * 25.4 / 96, mainHeight * 25.4 / 96, {fallbackOutput}) && ok;
        for (auto& d : displays)
            if (d.shown) ok = setMonitor(d.id, d.x, 0, d.width, d.height, d.widthMillimeters, d.heightMillimeters, {}) && ok;
        return ok;
    }

    Display* find(std::uint32_t id) {
        auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
        return it == displays.end() ? nullptr : &*it;
    }

    // Gives the display `pixelWidth`×`pixelHeight` and lays everything out again.
    bool show(Display& d, int pixelWidth, int pixelHeight) {
        if (d.output != 0) {
            const auto mode = createMode(pixelWidth, pixelHeight, 60, fmt::format("{}-{}x{}-{}", d.name, pixelWidth, pixelHeight, nameCounter++));
            if (mode == 0 || !checked(c, xcb_randr_add_output_mode_checked(c, d.output, mode))) return false;
            const auto old = std::exchange(d.mode, mode);
            d.width = pixelWidth;
            d.height = pixelHeight;
            d.shown = true;
            const bool ok = layoutOutputs();
            dropMode(d.output, old);
            return ok;
        }
        d.width = pixelWidth;
        d.height = pixelHeight;
        d.shown = true;
        return layoutMonitors();
    }

    void remove(std::uint32_t id, bool touchServer) {
        auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
        if (it == displays.end()) return;
        Display d = std::move(*it);
        displays.erase(it);
        if (!touchServer) return;
        // Already gone when someone else deleted it.
        if (const auto error = xcb_request_check(c, xcb_randr_delete_monitor_checked(c, root, d.id))) std::free(error);
        if (d.output != 0) {
            if (d.shown) setCrtc(d.crtc, 0, 0, 0, 0);
            dropMode(d.output, d.mode);
            layoutOutputs();
        } else {
            layoutMonitors();
        }
    }

    // Someone else turned a display's output off or deleted its monitor.
    void checkRemovals(xcb_connection_t* connection) {
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard lock(mutex);
            const auto listedNow = monitors(connection);
            std::vector<std::uint32_t> gone;
            for (const auto& d : displays) {
                if (!d.shown) continue;
                const bool present = std::any_of(listedNow.begin(), listedNow.end(),
                                                 [&](const xcb_randr_monitor_info_t& m) { return m.name == d.id; });
                if (!present) gone.push_back(d.id);
            }
            for (const auto id : gone) {
                if (auto* d = find(id); d && d->onTerminated) handlers.push_back(d->onTerminated);
                log().warning(fmt::format("Virtual display {} was removed outside the program", id));
                remove(id, true); // tidy what is left of it (mode, CRTC) and close the gap
            }
        }
        for (auto& handler : handlers) postToMain(std::move(handler));
    }

    void startWatcher() {
        watcher = std::thread([this, name = displayName] {
            xcb_connection_t* connection = xcb_connect(name.empty() ? nullptr : name.c_str(), nullptr);
            if (xcb_connection_has_error(connection) != 0) {
                xcb_disconnect(connection);
                return;
            }
            const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
            xcb_randr_select_input(connection, root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
            xcb_flush(connection);
            pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
            while (!stopping) {
                if (::poll(&fd, 1, 100) <= 0) continue;
                bool any = false;
                while (auto* event = xcb_poll_for_event(connection)) {
                    any = true;
                    std::free(event);
                }
                if (xcb_connection_has_error(connection) != 0) break;
                if (any) checkRemovals(connection);
            }
            xcb_disconnect(connection);
        });
    }
};

class RandRVirtualDisplayObject : public VirtualDisplayObject {
public:
    RandRVirtualDisplayObject(std::weak_ptr<RandRVirtualDisplayAdapter::Impl> impl, std::uint32_t id)
        : impl_(std::move(impl)), id_(id) {}
    ~RandRVirtualDisplayObject() override { invalidate(); }

    std::uint32_t displayID() const override { return id_; }

    bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) override {
        auto impl = impl_.lock();
        if (!impl || modes.empty()) return false;
        std::lock_guard lock(impl->mutex);
        auto* d = impl->find(id_);
        if (!d) return false;
        const std::uint64_t scale = hiDPI ? 2 : 1;
        std::vector<ScreenModeInfo> listed;
        for (const auto& mode : modes) {
            if (scale * mode.width > kMaxCoordinate || scale * mode.height > kMaxCoordinate || mode.width == 0 || mode.height == 0) return false;
            listed.push_back({mode.width, mode.height, static_cast<std::uint32_t>(scale * mode.width),
                              static_cast<std::uint32_t>(scale * mode.height)});
        }
        if (!impl->show(*d, static_cast<int>(listed[0].pixelWidth), static_cast<int>(listed[0].pixelHeight))) return false;
        d->modes = std::move(listed);
        return true;
    }

    void invalidate() override {
        auto impl = impl_.lock();
        if (!impl || std::exchange(invalidated_, true)) return;
        std::lock_guard lock(impl->mutex);
        impl->remove(id_, true);
    }

private:
    std::weak_ptr<RandRVirtualDisplayAdapter::Impl> impl_;
    std::uint32_t id_;
    bool invalidated_ = false;
};

RandRVirtualDisplayAdapter::RandRVirtualDisplayAdapter(std::string displayName,
                                                       std::function<void(std::function<void()>)> postToMain)
    : impl_(std::make_shared<Impl>()) {
    impl_->displayName = std::move(displayName);
    impl_->postToMain = std::move(postToMain);
    impl_->open();
    if (impl_->supported) impl_->startWatcher();
}

RandRVirtualDisplayAdapter::~RandRVirtualDisplayAdapter() {
    std::lock_guard lock(impl_->mutex);
    while (!impl_->displays.empty()) impl_->remove(impl_->displays.back().id, true);
}

bool RandRVirtualDisplayAdapter::isSupported() const { return impl_->supported; }

bool RandRVirtualDisplayAdapter::usesOutputs() const {
    std::lock_guard lock(impl_->mutex);
    std::string name;
    return impl_->supported && impl_->spareOutput(name).has_value();
}

std::unique_ptr<VirtualDisplayObject> RandRVirtualDisplayAdapter::create(const VirtualDisplayDescriptor& descriptor,
                                                                         std::function<void()> onTerminated) {
    if (!impl_->supported) return nullptr;
    std::lock_guard lock(impl_->mutex);
    Impl::Display d;
    // A name no monitor on this server uses yet, so IDs are never reused while a server runs.
    const auto listedNow = impl_->monitors(impl_->c);
    do {
        d.name = fmt::format("KIV-{}", ++nameCounter);
        d.id = impl_->atom(d.name);
    } while (d.id != 0 && std::any_of(listedNow.begin(), listedNow.end(),
                                      [&](const xcb_randr_monitor_info_t& m) { return m.name == d.id; }));
    if (d.id == 0) return nullptr;
    std::string outputName;
    if (auto spare = impl_->spareOutput(outputName)) {
        d.output = spare->first;
        d.crtc = spare->second;
        log().info("virtual display via output " + outputName);
    } else {
        log().info("virtual display via logical monitor (no spare output: the pointer stays on the main area)");
    }
    d.widthMillimeters = descriptor.widthMillimeters;
    d.heightMillimeters = descriptor.heightMillimeters;
    d.onTerminated = std::move(onTerminated);
    const auto id = d.id;
    impl_->displays.push_back(std::move(d));
    return std::make_unique<RandRVirtualDisplayObject>(impl_, id);
}

bool RandRVirtualDisplayAdapter::isOnline(std::uint32_t displayID) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->supported && impl_->listed(impl_->c, displayID);
}

std::vector<ScreenModeInfo> RandRVirtualDisplayAdapter::modes(std::uint32_t displayID) const {
    std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    return d ? d->modes : std::vector<ScreenModeInfo>{};
}

bool RandRVirtualDisplayAdapter::configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) {
    std::lock_guard lock(impl_->mutex);
    auto* d = impl_->find(displayID);
    if (!d || std::find(d->modes.begin(), d->modes.end(), mode) == d->modes.end()) return false;
    return impl_->show(*d, static_cast<int>(mode.pixelWidth), static_cast<int>(mode.pixelHeight));
}

std::optional<RandRVirtualDisplayAdapter::Bounds> RandRVirtualDisplayAdapter::bounds(std::uint32_t displayID) const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& monitor : impl_->monitors(impl_->c))
        if (monitor.name == displayID) return Bounds{monitor.x, monitor.y, monitor.width, monitor.height};
    return std::nullopt;
}

} // namespace kiv
