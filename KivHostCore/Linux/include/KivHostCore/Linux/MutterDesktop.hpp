#pragma once
// GNOME's compositor (mutter) as the desktop: a virtual monitor per display is a screen-cast
// stream recording a virtual monitor (the monitor is as large and as fast as the stream asks, and
// goes away with it), linked to a remote-desktop session through which that monitor gets its
// pointer and keys. The stream's PipeWire pictures are the capture. Everything is reached over
// the session bus; the sessions die with our connection, so nothing outlives the host.
//
// One object serves three ports: the display adapter, and the grabbers and the input poster made
// from it. Display IDs are our own numbers.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/EventPoster.hpp"
#include "KivHostCore/Platform/ScreenGrabber.hpp"
#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class MutterDesktop : public VirtualDisplayAdapter {
public:
    struct Options {
        std::string busAddress;     // "" = the session bus of the environment
        std::string pipewireRemote; // the PipeWire daemon's socket ("" = the environment's)
        // Monitors run at least this refresh (Hz): the compositor draws a monitor once per
        // refresh, so a faster monitor means a shorter wait for each picture.
        double minimumRefresh = 120;
        std::function<void(std::function<void()>)> postToMain;
    };
    explicit MutterDesktop(Options options);
    ~MutterDesktop() override; // ends every session still live

    bool isSupported() const override;
    // Why monitors cannot be made (one sentence's worth); empty when they can.
    std::string problem() const;
    std::unique_ptr<VirtualDisplayObject> create(const VirtualDisplayDescriptor& descriptor,
                                                 std::function<void()> onTerminated) override;
    bool isOnline(std::uint32_t displayID) const override;
    std::vector<ScreenModeInfo> modes(std::uint32_t displayID) const override;
    bool configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) override;
    std::optional<ScreenModeInfo> currentMode(std::uint32_t displayID) const override;
    std::optional<std::pair<int, int>> drawnSize(std::uint32_t displayID) const override;

    // Whether the compositor has put the displays to sleep (its power-save mode); nothing when it
    // does not say. Waits on the session bus.
    std::optional<bool> displaysAsleep() const;

    // Where the compositor laid out a display's monitor; never waits.
    std::optional<ScreenRect> bounds(std::uint32_t displayID) const;

    std::unique_ptr<ScreenGrabber> makeGrabber();
    std::shared_ptr<EventPoster> poster();

    // Every monitor the compositor on that bus shows now, as its display configuration says.
    struct Screen {
        std::string connector;
        ScreenRect rect;
        bool primary = false;
        double refresh = 0; // Hz, of its current mode
        double scale = 1;   // pixels per point the compositor draws it at
        int pixelWidth = 0; // of its current mode
        int pixelHeight = 0;
    };
    static std::vector<Screen> screens(const std::string& busAddress);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
