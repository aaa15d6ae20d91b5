// What a host that died (killed, crashed) left on the X server: its device monitors, the widened
// main monitor and the modes it added. Each leftover takes room in the framebuffer, so they are
// taken back when the next host starts on that server — unless a live host there owns them.
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>
#include <xcb/res.h>

#include "LiveProcess.hpp"
#include "RandRAdapterImpl.hpp"

namespace kiv {

using randr::checked;
using randr::log;

namespace {

constexpr const char* kOwnerProperty = "_KIV_DISPLAY_HOST";

std::string thisHost() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

bool ourName(std::string_view name) {
    return name.starts_with("KIV-");
}

} // namespace

std::string RandRVirtualDisplayAdapter::Impl::atomName(xcb_atom_t name) {
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, name), nullptr));
    if (!reply) return {};
    return {xcb_get_atom_name_name(reply.get()), static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get()))};
}

// "host:pid" of the host that last took this server, when that process still runs here.
bool RandRVirtualDisplayAdapter::Impl::ownedByLiveHost() {
    const auto property = atom(kOwnerProperty);
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, property, XCB_ATOM_STRING, 0, 64), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) <= 0) return false;
    const std::string owner(static_cast<const char*>(xcb_get_property_value(reply.get())),
                            static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    const auto colon = owner.rfind(':');
    if (colon == std::string::npos || owner.substr(0, colon) != thisHost()) return false;
    return liveProcess(std::strtol(owner.c_str() + colon + 1, nullptr, 10)); // this one too (another adapter)
}

void RandRVirtualDisplayAdapter::awaitClientGone(const std::string& displayName, long pid,
                                                 std::chrono::milliseconds limit) {
    xcb_connection_t* c = xcb_connect(displayName.c_str(), nullptr);
    const auto close = [&] { xcb_disconnect(c); };
    if (xcb_connection_has_error(c) != 0) return close();
    const randr::Reply<xcb_res_query_version_reply_t> version(
        xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
    if (!version || version->server_major < 1 || (version->server_major == 1 && version->server_minor < 2))
        return close();
    const auto connected = [&] {
        const xcb_res_client_id_spec_t everyone{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        const randr::Reply<xcb_res_query_client_ids_reply_t> ids(
            xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &everyone), nullptr));
        if (!ids) return false;
        for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0; xcb_res_client_id_value_next(&it))
            if (xcb_res_client_id_value_value_length(it.data) >= 1 &&
                static_cast<long>(*xcb_res_client_id_value_value(it.data)) == pid)
                return true;
        return false;
    };
    for (const auto until = std::chrono::steady_clock::now() + limit;
         connected() && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    close();
}

void RandRVirtualDisplayAdapter::Impl::claim() {
    const auto owner = thisHost() + ":" + std::to_string(::getpid());
    checked(c,
            xcb_change_property_checked(c, XCB_PROP_MODE_REPLACE, root, atom(kOwnerProperty), XCB_ATOM_STRING, 8,
                                        static_cast<std::uint32_t>(owner.size()), owner.data()),
            "ChangeProperty");
}

void RandRVirtualDisplayAdapter::Impl::reclaimLeftovers() {
    if (ownedByLiveHost()) {
        log().info("A live host owns this X server's monitors: they are left as they are");
        return;
    }
    claim();
    int removed = 0;
    // The desktop's own area, as the dead host laid it out: what the stretched output goes back to.
    std::optional<std::pair<int, int>> mainArea;
    for (const auto& monitor : monitors(c)) {
        const auto name = atomName(monitor.name);
        if (!ourName(name)) continue;
        if (name == "KIV-MAIN") mainArea = std::pair{int{monitor.width}, int{monitor.height}};
        if (const auto error = xcb_request_check(c, xcb_randr_delete_monitor_checked(c, root, monitor.name)))
            std::free(error);
        ++removed;
    }
    // Modes of ours: the ones a CRTC shows are replaced first (the main output's own mode, or off).
    auto r = resources();
    if (!r.reply) return;
    std::map<xcb_randr_mode_t, std::string> modeNames;
    std::map<xcb_randr_mode_t, std::pair<int, int>> modeSizes;
    {
        const auto* modes = xcb_randr_get_screen_resources_current_modes(r.reply.get());
        const auto* names = reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(r.reply.get()));
        const int count = xcb_randr_get_screen_resources_current_modes_length(r.reply.get());
        const int namesLength = xcb_randr_get_screen_resources_current_names_length(r.reply.get());
        int offset = 0;
        for (int i = 0; i < count && offset + modes[i].name_len <= namesLength; ++i) {
            modeNames[modes[i].id] = std::string(names + offset, modes[i].name_len);
            modeSizes[modes[i].id] = {modes[i].width, modes[i].height};
            offset += modes[i].name_len;
        }
    }
    const auto isOurs = [&](xcb_randr_mode_t mode) { return mode != 0 && ourName(modeNames[mode]); };
    for (const auto crtc : r.crtcs) {
        auto info = crtcInfo(crtc, r.config);
        if (!info || !isOurs(info->mode) || info->num_outputs == 0) continue;
        const auto output = xcb_randr_get_crtc_info_outputs(info.get())[0];
        xcb_randr_mode_t replacement = 0;
        // The stretched main output gets back a mode of the desktop's own size (else its first
        // own mode); a device's own output goes off.
        if (modeNames[info->mode].starts_with("KIV-screen-"))
            if (auto out = outputInfo(output, r.config)) {
                const auto* modes = xcb_randr_get_output_info_modes(out.get());
                const int count = xcb_randr_get_output_info_modes_length(out.get());
                for (int i = 0; i < count && replacement == 0; ++i)
                    if (!isOurs(modes[i]) && (!mainArea || modeSizes[modes[i]] == *mainArea)) replacement = modes[i];
                for (int i = 0; i < count && replacement == 0; ++i)
                    if (!isOurs(modes[i])) replacement = modes[i];
            }
        if (replacement != 0) {
            // The screen must hold the mode before the CRTC shows it.
            const auto [width, height] = screenSize();
            const auto [modeWidth, modeHeight] = modeSizes[replacement];
            if (modeWidth > width || modeHeight > height)
                setScreenSize(std::max(width, modeWidth), std::max(height, modeHeight));
        }
        setCrtc(crtc, replacement == 0 ? 0 : info->x, replacement == 0 ? 0 : info->y, replacement,
                replacement == 0 ? 0 : output);
        ++removed;
    }
    for (const auto output : r.outputs)
        if (auto out = outputInfo(output, r.config)) {
            const auto* modes = xcb_randr_get_output_info_modes(out.get());
            std::vector<xcb_randr_mode_t> listed(modes, modes + xcb_randr_get_output_info_modes_length(out.get()));
            for (const auto mode : listed)
                if (isOurs(mode)) checked(c, xcb_randr_delete_output_mode_checked(c, output, mode));
        }
    for (const auto& [mode, name] : modeNames)
        if (ourName(name)) {
            checked(c, xcb_randr_destroy_mode_checked(c, mode));
            ++removed;
        }
    if (removed == 0) return;
    // The framebuffer shrinks back around what is still shown.
    int right = 0, bottom = 0;
    r = resources();
    for (const auto crtc : r.crtcs)
        if (auto info = crtcInfo(crtc, r.config); info && info->mode != 0) {
            right = std::max(right, info->x + info->width);
            bottom = std::max(bottom, info->y + info->height);
        }
    if (right > 0 && bottom > 0) setScreenSize(right, bottom);
    monitors(c);
    log().notice(
        fmt::format("Took back {} monitor(s), output(s) and mode(s) a previous host left on the X server", removed));
}

} // namespace kiv
