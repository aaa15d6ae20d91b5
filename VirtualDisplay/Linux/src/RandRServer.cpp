// Talking to the X server: connection, atoms, monitors, outputs, CRTCs and modes.
#include "RandRAdapterImpl.hpp"

namespace kiv {

using namespace randr;

void RandRVirtualDisplayAdapter::Impl::open() {
    c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr);
    if (xcb_connection_has_error(c) != 0) return;
    root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const auto* extension = xcb_get_extension_data(c, &xcb_randr_id);
    if (!extension || !extension->present) return;
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
    supported = version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 5));
}

xcb_atom_t RandRVirtualDisplayAdapter::Impl::atom(const std::string& name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
    return reply ? reply->atom : 0;
}

double RandRVirtualDisplayAdapter::Impl::desktopScale() {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0, 1 << 16), nullptr));
    std::string resources;
    if (reply && xcb_get_property_value_length(reply.get()) > 0)
        resources.assign(static_cast<const char*>(xcb_get_property_value(reply.get())),
                         static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    double dpi = 96;
    for (std::size_t at = 0; at < resources.size();) {
        const auto end = std::min(resources.find('\n', at), resources.size());
        const std::string_view line(resources.data() + at, end - at);
        at = end + 1;
        if (!line.starts_with("Xft.dpi:")) continue;
        const std::string value(line.substr(8));
        char* parsed = nullptr;
        const double read = std::strtod(value.c_str(), &parsed);
        if (parsed != value.c_str() && std::isfinite(read) && read > 0) dpi = read;
    }
    const double scale = std::clamp(dpi / 96, 1.0, 2.0);
    if (scale != loggedScale) {
        log().info(fmt::format("The X desktop draws at {:.2f}× (Xft.dpi {:g}): a HiDPI display gets {:.2f} pixels "
                               "per point",
                               scale, dpi, scale));
        loggedScale = scale;
    }
    return scale;
}

std::vector<xcb_randr_monitor_info_t> RandRVirtualDisplayAdapter::Impl::monitors(xcb_connection_t* connection) const {
    std::vector<xcb_randr_monitor_info_t> result;
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
    if (!reply) return result;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0; xcb_randr_monitor_info_next(&it))
        result.push_back(*it.data);
    std::map<std::uint32_t, RandRVirtualDisplayAdapter::Bounds> bounds;
    for (const auto& m : result)
        bounds[m.name] = {m.x, m.y, m.width, m.height};
    const std::lock_guard lock(boundsMutex);
    boundsCache = std::move(bounds);
    return result;
}

bool RandRVirtualDisplayAdapter::Impl::listed(xcb_connection_t* connection, std::uint32_t id) const {
    for (const auto& monitor : monitors(connection))
        if (monitor.name == id) return true;
    return false;
}

// RRSetMonitor sent raw: libxcb 1.15's generated request asserts on its padding. The server
// refuses to replace a monitor of the same name (BadValue), so any old one is deleted first.
bool RandRVirtualDisplayAdapter::Impl::setMonitor(xcb_atom_t name, int x, int y, int width, int height, double mmW,
                                                  double mmH, const std::vector<xcb_randr_output_t>& outputs) {
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

auto RandRVirtualDisplayAdapter::Impl::resources() -> Resources {
    Resources r;
    r.reply.reset(
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr));
    if (!r.reply) return r;
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(r.reply.get());
    r.outputs.assign(outputs, outputs + xcb_randr_get_screen_resources_current_outputs_length(r.reply.get()));
    const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(r.reply.get());
    r.crtcs.assign(crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(r.reply.get()));
    r.config = r.reply->config_timestamp;
    return r;
}

auto RandRVirtualDisplayAdapter::Impl::crtcInfo(xcb_randr_crtc_t crtc, xcb_timestamp_t config)
    -> Reply<xcb_randr_get_crtc_info_reply_t> {
    return Reply<xcb_randr_get_crtc_info_reply_t>(
        xcb_randr_get_crtc_info_reply(c, xcb_randr_get_crtc_info(c, crtc, config), nullptr));
}

auto RandRVirtualDisplayAdapter::Impl::outputInfo(xcb_randr_output_t output, xcb_timestamp_t config)
    -> Reply<xcb_randr_get_output_info_reply_t> {
    return Reply<xcb_randr_get_output_info_reply_t>(
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, config), nullptr));
}

std::string RandRVirtualDisplayAdapter::Impl::outputName(xcb_randr_get_output_info_reply_t* info) {
    return {reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info)),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info))};
}

bool RandRVirtualDisplayAdapter::Impl::ours(xcb_randr_crtc_t crtc) const {
    return std::any_of(displays.begin(), displays.end(), [&](const Display& d) { return d.crtc == crtc && crtc != 0; });
}

// A disconnected output driving nothing, with a CRTC of its own that drives nothing either.
std::optional<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>>
RandRVirtualDisplayAdapter::Impl::spareOutput(std::string& name) {
    auto r = resources();
    for (const auto output : r.outputs) {
        if (std::any_of(displays.begin(), displays.end(), [&](const Display& d) { return d.output == output; }))
            continue;
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

xcb_randr_mode_t RandRVirtualDisplayAdapter::Impl::createMode(int width, int height, double refresh,
                                                              const std::string& name) {
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
    Reply<xcb_randr_create_mode_reply_t> reply(xcb_randr_create_mode_reply(
        c, xcb_randr_create_mode(c, root, info, static_cast<std::uint32_t>(name.size()), name.data()), nullptr));
    if (!reply) log().warning(fmt::format("RandR CreateMode {}x{} failed", width, height));
    return reply ? reply->mode : 0;
}

void RandRVirtualDisplayAdapter::Impl::dropMode(xcb_randr_output_t output, xcb_randr_mode_t mode) {
    if (mode == 0) return;
    if (output != 0) checked(c, xcb_randr_delete_output_mode_checked(c, output, mode));
    checked(c, xcb_randr_destroy_mode_checked(c, mode));
}

bool RandRVirtualDisplayAdapter::Impl::setScreenSize(int width, int height) {
    return checked(c,
                   xcb_randr_set_screen_size_checked(c, root, static_cast<std::uint16_t>(width),
                                                     static_cast<std::uint16_t>(height), screenMillimeters(width),
                                                     screenMillimeters(height)),
                   "SetScreenSize");
}

bool RandRVirtualDisplayAdapter::Impl::setCrtc(xcb_randr_crtc_t crtc, int x, int y, xcb_randr_mode_t mode,
                                               xcb_randr_output_t output) {
    const auto r = resources();
    Reply<xcb_randr_set_crtc_config_reply_t> reply(xcb_randr_set_crtc_config_reply(
        c,
        xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, r.config, static_cast<std::int16_t>(x),
                                  static_cast<std::int16_t>(y), mode, XCB_RANDR_ROTATION_ROTATE_0, mode ? 1 : 0,
                                  mode ? &output : nullptr),
        nullptr));
    if (reply && reply->status == XCB_RANDR_SET_CONFIG_SUCCESS) return true;
    log().warning(fmt::format("RandR SetCrtcConfig failed (status {})", reply ? int{reply->status} : -1));
    return false;
}

namespace {
// An Xvfb cannot grow past the size it was started with, and its desktop starts that large: a
// larger -screen alone leaves no room either; the desktop must also be given a smaller mode.
constexpr std::string_view kXvfbAdvice =
    "An Xvfb's largest is the size it was started with and its desktop fills it: start it with -noreset -screen 0 "
    "8192x8192x24, then give the desktop a smaller size with xrandr --newmode, --addmode screen and --output screen "
    "--mode (man kivdisplay-host, \"AN XVFB OF YOUR OWN\"); without a display the host runs such an Xvfb itself";
constexpr std::string_view kDriverAdvice =
    "That is the graphics driver's limit: give the desktop's own monitors fewer pixels with xrandr (a lower "
    "resolution, or one monitor fewer), or raise the limit with a larger Virtual size in the Display subsection of "
    "xorg.conf where the driver allows it";
constexpr const char* kVidMode = "XFree86-VidModeExtension";
// Narrower than this, no device's monitor fits beside the desktop.
constexpr int kLeastRoom = 640;
} // namespace

std::string RandRVirtualDisplayAdapter::Impl::roomProblem() {
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, root), nullptr));
    const auto [width, height] = screenSize();
    if (!range || width <= 0 || std::min<int>(range->max_width, kMaxCoordinate) - width >= kLeastRoom) return {};
    return fmt::format("The X server's screen cannot grow past {}x{}, which leaves no room right of its {}x{} desktop "
                       "for a device's monitor, so devices get a mirror of the desktop instead. {}",
                       range->max_width, range->max_height, width, height, advice());
}

// Xvfb and Xorg fix the screen's largest size in different ways, so what to do differs: only the
// Xorg server (any driver) has the video mode extension.
std::string_view RandRVirtualDisplayAdapter::Impl::advice() {
    Reply<xcb_query_extension_reply_t> vidmode(xcb_query_extension_reply(
        c, xcb_query_extension(c, static_cast<std::uint16_t>(std::strlen(kVidMode)), kVidMode), nullptr));
    return vidmode && vidmode->present ? kDriverAdvice : kXvfbAdvice;
}

bool RandRVirtualDisplayAdapter::Impl::screenCanGrowTo(int width, int height) {
    if (width > kMaxCoordinate || height > kMaxCoordinate) return false; // beyond what X coordinates can hold
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, root), nullptr));
    if (!range || (width <= range->max_width && height <= range->max_height)) return true;
    const std::pair<int, int> largest{range->max_width, range->max_height};
    if (std::exchange(reportedLargest, largest) == largest) return false; // said once is enough
    log().warning(fmt::format("The X server's screen cannot grow to {}x{}: its largest is {}x{}. {}", width, height,
                              range->max_width, range->max_height, advice()));
    return false;
}

std::pair<int, int> RandRVirtualDisplayAdapter::Impl::screenSize() {
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, root), nullptr));
    return geometry ? std::pair{int{geometry->width}, int{geometry->height}} : std::pair{0, 0};
}

auto RandRVirtualDisplayAdapter::Impl::find(std::uint32_t id) -> Display* {
    auto it = std::find_if(displays.begin(), displays.end(), [&](const Display& d) { return d.id == id; });
    return it == displays.end() ? nullptr : &*it;
}

} // namespace kiv
