#include "WaylandClient.hpp"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fmt/format.h>

#include "virtual-keyboard-unstable-v1-client.h"
#include "wlr-screencopy-unstable-v1-client.h"
#include "wlr-virtual-pointer-unstable-v1-client.h"
#include "xdg-output-unstable-v1-client.h"

namespace kiv {

namespace {

void onGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface, std::uint32_t version) {
    static_cast<WaylandClient*>(data)->global(name, interface, version);
}
void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    static_cast<WaylandClient*>(data)->globalRemoved(name);
}
const wl_registry_listener kRegistry{onGlobal, onGlobalRemove};

void outGeometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, const char*,
                 const char*, std::int32_t) {}
void outMode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
    if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
    auto* o = static_cast<WaylandOutput*>(data);
    o->modeWidth = width;
    o->modeHeight = height;
}
void outScale(void*, wl_output*, std::int32_t) {}

void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    auto* o = static_cast<WaylandOutput*>(data);
    o->x = x;
    o->y = y;
}
void xdgSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
    auto* o = static_cast<WaylandOutput*>(data);
    o->width = width;
    o->height = height;
}
void xdgName(void* data, zxdg_output_v1*, const char* name) {
    static_cast<WaylandOutput*>(data)->name = name != nullptr ? name : "";
}
void xdgDescription(void*, zxdg_output_v1*, const char*) {}

void xdgDone(void* data, zxdg_output_v1*) {
    static_cast<WaylandOutput*>(data)->client->outputChanged();
}
const zxdg_output_v1_listener kXdgOutput{xdgPosition, xdgSize, xdgDone, xdgName, xdgDescription};

// wl_output.done also ends a change (xdg-output 3 no longer sends its own done).
void outDoneNotify(void* data, wl_output*) {
    static_cast<WaylandOutput*>(data)->client->outputChanged();
}
void outText(void*, wl_output*, const char*) {}
const wl_output_listener kOutputV2{outGeometry, outMode, outDoneNotify, outScale, outText, outText};

} // namespace

std::unique_ptr<WaylandClient> WaylandClient::connect(const std::string& name, std::string& why) {
    std::unique_ptr<WaylandClient> client(new WaylandClient());
    client->display_ = wl_display_connect(name.empty() ? nullptr : name.c_str());
    if (client->display_ == nullptr) {
        why = fmt::format("cannot connect to the Wayland compositor at {} ({})",
                          name.empty() ? "$WAYLAND_DISPLAY" : name, std::strerror(errno));
        return nullptr;
    }
    client->registry_ = wl_display_get_registry(client->display_);
    wl_registry_add_listener(client->registry_, &kRegistry, client.get());
    // Two round trips: the globals, then each output's first description.
    if (!client->roundtrip() || !client->roundtrip()) {
        why = "the Wayland compositor hung up while listing its interfaces";
        return nullptr;
    }
    if (client->xdgOutputs == nullptr) {
        why = "the Wayland compositor offers no xdg-output (needed to place the displays)";
        return nullptr;
    }
    return client;
}

WaylandClient::~WaylandClient() {
    if (display_ == nullptr) return;
    for (auto& o : outputs_) {
        if (o->xdg != nullptr) zxdg_output_v1_destroy(o->xdg);
        if (o->output != nullptr) wl_output_destroy(o->output);
    }
    if (screencopy != nullptr) zwlr_screencopy_manager_v1_destroy(screencopy);
    if (pointers != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointers);
    if (keyboards != nullptr) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboards));
    if (xdgOutputs != nullptr) zxdg_output_manager_v1_destroy(xdgOutputs);
    if (seat != nullptr) wl_seat_destroy(seat);
    if (shm != nullptr) wl_shm_destroy(shm);
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

void WaylandClient::global(std::uint32_t name, const char* interface, std::uint32_t version) {
    const std::string_view which = interface;
    const auto bind = [&](const wl_interface* type, std::uint32_t highest) {
        return wl_registry_bind(registry_, name, type, std::min(version, highest));
    };
    if (which == wl_output_interface.name) {
        auto output = std::make_unique<WaylandOutput>();
        output->client = this;
        output->global = name;
        output->output = static_cast<wl_output*>(bind(&wl_output_interface, 2));
        wl_output_add_listener(output->output, &kOutputV2, output.get());
        watchOutput(*output);
        outputs_.push_back(std::move(output));
    } else if (which == wl_shm_interface.name) {
        shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
    } else if (which == wl_seat_interface.name && seat == nullptr) {
        seat = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
    } else if (which == zxdg_output_manager_v1_interface.name) {
        xdgOutputs = static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
        for (auto& o : outputs_)
            watchOutput(*o);
    } else if (which == zwlr_screencopy_manager_v1_interface.name) {
        screencopyVersion = std::min(version, 3u);
        screencopy = static_cast<zwlr_screencopy_manager_v1*>(bind(&zwlr_screencopy_manager_v1_interface, 3));
    } else if (which == zwlr_virtual_pointer_manager_v1_interface.name) {
        pointersVersion = std::min(version, 2u);
        pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
    } else if (which == zwp_virtual_keyboard_manager_v1_interface.name) {
        keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    }
}

void WaylandClient::watchOutput(WaylandOutput& output) {
    if (xdgOutputs == nullptr || output.xdg != nullptr) return;
    output.xdg = zxdg_output_manager_v1_get_xdg_output(xdgOutputs, output.output);
    zxdg_output_v1_add_listener(output.xdg, &kXdgOutput, &output);
}

void WaylandClient::globalRemoved(std::uint32_t name) {
    const auto it = std::find_if(outputs_.begin(), outputs_.end(), [&](const auto& o) { return o->global == name; });
    if (it == outputs_.end()) return;
    if ((*it)->xdg != nullptr) zxdg_output_v1_destroy((*it)->xdg);
    wl_output_destroy((*it)->output);
    outputs_.erase(it);
    outputChanged();
}

void WaylandClient::outputChanged() {
    if (onOutputsChanged) onOutputsChanged();
}

int WaylandClient::fd() const {
    return wl_display_get_fd(display_);
}

bool WaylandClient::pump() {
    if (broken_) return false;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) break;
    }
    // libwayland reads without blocking: nothing there is not an error.
    if (wl_display_read_events(display_) < 0 || wl_display_dispatch_pending(display_) < 0 ||
        (wl_display_flush(display_) < 0 && errno != EAGAIN)) {
        broken_ = true;
        return false;
    }
    return true;
}

bool WaylandClient::pumpWaiting(int timeoutMs) {
    if (broken_) return false;
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
        broken_ = true;
        return false;
    }
    pollfd p{fd(), POLLIN, 0};
    ::poll(&p, 1, timeoutMs);
    return pump();
}

bool WaylandClient::roundtrip() {
    if (broken_ || wl_display_roundtrip(display_) < 0) {
        broken_ = true;
        return false;
    }
    return true;
}

std::string WaylandClient::error() const {
    const int code = wl_display_get_error(display_);
    if (code == 0) return "the Wayland compositor is gone";
    return fmt::format("the Wayland compositor ended the connection ({})", std::strerror(code));
}

WaylandOutput* WaylandClient::outputNamed(const std::string& name) const {
    for (const auto& o : outputs_)
        if (o->name == name) return o.get();
    return nullptr;
}

WaylandOutput* WaylandClient::outputAt(double x, double y) const {
    for (const auto& o : outputs_)
        if (o->contains(x, y)) return o.get();
    return nullptr;
}

} // namespace kiv
