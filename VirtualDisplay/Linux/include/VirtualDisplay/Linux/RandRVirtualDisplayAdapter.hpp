#pragma once
// Virtual displays as monitors of a running X server. With a spare output that has its own CRTC
// (the dummy driver's DUMMYn, a driver's VIRTUAL outputs, evdi connectors) each display is that
// output driven in a mode made for it, placed right of the existing layout. Without one (Xvfb)
// the single CRTC is stretched over the whole screen, which is split into RandR 1.5 logical
// monitors: the main area plus one per display. Either way the display is a RandR monitor named
// "KIV-<n>", and its ID is that name's atom (what the screen grabber takes as a display ID).
// A HiDPI mode is drawn at the desktop's scale (Xft.dpi / 96, from 1 to 2), so its text is as
// large as on the desktop; the capture scales it to the stream.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class RandRVirtualDisplayAdapter : public VirtualDisplayAdapter {
public:
    // `displayName` as for XOpenDisplay ("" = $DISPLAY). `postToMain` runs a task on the host's main
    // queue; termination handlers go through it. Never fails: a server that cannot be reached
    // makes `isSupported` false.
    RandRVirtualDisplayAdapter(std::string displayName, std::function<void(std::function<void()>)> postToMain);
    ~RandRVirtualDisplayAdapter() override; // removes every display still live

    bool isSupported() const override;
    std::unique_ptr<VirtualDisplayObject> create(const VirtualDisplayDescriptor& descriptor,
                                                 std::function<void()> onTerminated) override;
    bool isOnline(std::uint32_t displayID) const override;
    std::vector<ScreenModeInfo> modes(std::uint32_t displayID) const override;
    bool configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) override;
    // Read back from the server: the listed mode whose size on the X screen the monitor has now.
    std::optional<ScreenModeInfo> currentMode(std::uint32_t displayID) const override;
    std::optional<std::pair<int, int>> drawnSize(std::uint32_t displayID) const override;

    // The display's rectangle in root coordinates, if it is live: as last listed (after each of
    // our changes and on every RandR event), without asking the server or waiting for a change
    // in progress, since every touch asks.
    struct Bounds {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        bool operator==(const Bounds&) const = default;
    };
    std::optional<Bounds> bounds(std::uint32_t displayID) const;
    // True when displays are outputs of their own; false on the logical-monitor fallback.
    bool usesOutputs() const;
    // Before any display is made: why none could be (the screen cannot grow right of the
    // desktop), and what to do; empty when there is room.
    std::string roomProblem() const;
    // What a user can do when this X server's screen cannot grow far enough (Xvfb and Xorg differ).
    std::string limitAdvice() const;

    // Waits, at most `limit`, until no client of process `pid` is connected to the X server
    // `displayName`: a process killed mid-change may have requests in the server's queue still,
    // which would otherwise land after whoever takes its monitors back. At once when the server
    // cannot say (no X-Resource 1.2).
    static void awaitClientGone(const std::string& displayName, long pid, std::chrono::milliseconds limit);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
