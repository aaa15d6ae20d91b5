// Noticing displays that someone else turned off or deleted, on a connection and thread of its own.
#include "RandRAdapterImpl.hpp"

namespace kiv {

using namespace randr;

// Someone else turned a display's output off or deleted its monitor.
void RandRVirtualDisplayAdapter::Impl::checkRemovals(xcb_connection_t* connection) {
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
    for (auto& handler : handlers)
        postToMain(std::move(handler));
}

void RandRVirtualDisplayAdapter::Impl::followMainArea() {
    std::lock_guard lock(mutex);
    // Only displays on outputs of their own: on one stretched CRTC the desktop's area is ours to keep.
    int left = -1;
    for (const auto& d : displays) {
        if (!d.shown || d.output == 0) continue;
        left = left < 0 ? d.x : std::min(left, d.x);
    }
    if (left < 0) return;
    const auto [right, bottom] = mainArea();
    if (left == right) return;
    // A smaller desktop left a gap the pointer fell into; a larger one lay over the displays.
    log().info(fmt::format("The desktop's monitors now end at x={}: moving the devices' displays there (from x={})",
                           right, left));
    layoutOutputs();
    monitors(c);
}

void RandRVirtualDisplayAdapter::Impl::startWatcher() {
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
            if (!any) continue;
            checkRemovals(connection);
            followMainArea();
        }
        xcb_disconnect(connection);
    });
}

} // namespace kiv
