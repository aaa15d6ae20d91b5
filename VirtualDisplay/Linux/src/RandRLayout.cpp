// Laying the displays out: right of the desktop on outputs of their own, or as logical monitors on one
// stretched CRTC when the server has no spare output.
#include "RandRAdapterImpl.hpp"

namespace kiv {

using namespace randr;

// The area of every CRTC that is not ours: where the displays start to its right.
std::pair<int, int> RandRVirtualDisplayAdapter::Impl::mainArea() {
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

std::pair<int, int> RandRVirtualDisplayAdapter::Impl::placeShown(int left, int height) {
    for (auto& d : displays) {
        if (!d.shown) continue;
        d.x = left;
        left += d.width;
        height = std::max(height, d.height);
    }
    return {left, height};
}

// Places every shown display left to right after the main area and sizes the screen to fit.
bool RandRVirtualDisplayAdapter::Impl::layoutOutputs() {
    const auto [mainRight, mainBottom] = mainArea();
    const auto [x, height] = placeShown(mainRight, mainBottom);
    if (!screenCanGrowTo(x, height)) return false;
    const auto [oldW, oldH] = screenSize();
    bool ok = setScreenSize(std::max(oldW, x), std::max(oldH, height));
    for (auto& d : displays)
        if (d.shown) ok = setCrtc(d.crtc, d.x, 0, d.mode, d.output) && ok;
    ok = setScreenSize(std::max(x, 1), std::max(height, 1)) && ok;
    for (auto& d : displays)
        if (d.shown)
            ok = setMonitor(d.id, d.x, 0, d.width, d.height, d.widthMillimeters, d.heightMillimeters, {d.output}) && ok;
    return ok;
}

// Stretches the one CRTC over the main area plus every shown display, split into logical monitors.
bool RandRVirtualDisplayAdapter::Impl::layoutMonitors() {
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
    const auto [width, height] = placeShown(mainWidth, mainHeight);
    if (!screenCanGrowTo(width, height)) return false;
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
    ok = setMonitor(mainAtom, 0, 0, mainWidth, mainHeight, mainWidth * 25.4 / 96, mainHeight * 25.4 / 96,
                    {fallbackOutput}) &&
         ok;
    for (auto& d : displays)
        if (d.shown)
            ok = setMonitor(d.id, d.x, 0, d.width, d.height, d.widthMillimeters, d.heightMillimeters, {}) && ok;
    return ok;
}

// Gives the display `pixelWidth`×`pixelHeight` and lays everything out again.
bool RandRVirtualDisplayAdapter::Impl::show(Display& d, int pixelWidth, int pixelHeight) {
    if (d.output != 0) {
        // Already so: a second mode of the same timings would not be taken (the server keeps
        // reporting the first, which then cannot be dropped) and would stay on the output.
        if (d.shown && d.mode != 0 && d.width == pixelWidth && d.height == pixelHeight) return true;
        const auto mode = createMode(pixelWidth, pixelHeight, 60,
                                     fmt::format("{}-{}x{}-{}", d.name, pixelWidth, pixelHeight, nameCounter++));
        if (mode == 0 || !checked(c, xcb_randr_add_output_mode_checked(c, d.output, mode))) return false;
        const auto old = std::exchange(d.mode, mode);
        d.width = pixelWidth;
        d.height = pixelHeight;
        d.shown = true;
        const bool ok = layoutOutputs();
        dropMode(d.output, old);
        monitors(c); // the new layout's bounds, before the watcher hears of it
        return ok;
    }
    d.width = pixelWidth;
    d.height = pixelHeight;
    d.shown = true;
    const bool ok = layoutMonitors();
    monitors(c);
    return ok;
}

void RandRVirtualDisplayAdapter::Impl::remove(std::uint32_t id, bool touchServer) {
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
    monitors(c);
}

} // namespace kiv
