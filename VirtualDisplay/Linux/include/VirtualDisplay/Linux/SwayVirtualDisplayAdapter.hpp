#pragma once
// Virtual displays as outputs of a wlroots compositor driven through sway's IPC: `create_output`
// adds a headless output, `output <name> enable mode WxH@RHz pos X Y scale S` shows it right of
// the existing layout. The compositor cannot always remove an output (sway before 1.8 has no
// `unplug`), so a removed display's output is parked out of the way and kept for the next display;
// outputs a host that ended without cleaning up left are taken back when this connects. A thread of
// its own follows the compositor's output events: an output of ours that vanishes, or a compositor
// that goes away, ends its display (`onTerminated`); a compositor that comes back is found again.
// Display IDs are our own numbers; `outputName` maps them to the compositor's output names.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VirtualDisplay/VirtualDisplayAdapter.hpp"

namespace kiv {

class SwayVirtualDisplayAdapter : public VirtualDisplayAdapter {
public:
    struct Options {
        std::string ipcSocket;  // "" = $SWAYSOCK
        std::string runtimeDir; // where a restarted compositor's socket is looked for ("" = $XDG_RUNTIME_DIR)
        // Outputs run at least this refresh (Hz), whatever the device asks: the compositor draws
        // and copies an output once per refresh, so a faster output means a shorter wait.
        double minimumRefresh = 240;
        std::function<void(std::function<void()>)> postToMain;
    };
    explicit SwayVirtualDisplayAdapter(Options options);
    ~SwayVirtualDisplayAdapter() override; // removes every display still live

    bool isSupported() const override;
    // Why it is not supported (the compositor's or the socket's sentence); empty when it is.
    std::string problem() const;
    std::unique_ptr<VirtualDisplayObject> create(const VirtualDisplayDescriptor& descriptor,
                                                 std::function<void()> onTerminated) override;
    bool isOnline(std::uint32_t displayID) const override;
    std::vector<ScreenModeInfo> modes(std::uint32_t displayID) const override;
    bool configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) override;
    std::optional<ScreenModeInfo> currentMode(std::uint32_t displayID) const override;

    struct Bounds {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Bounds&) const = default;
    };
    // As last listed (after each change of ours and on every output event); never waits.
    std::optional<Bounds> bounds(std::uint32_t displayID) const;
    // The compositor's name of the display's output, while it lives.
    std::optional<std::string> outputName(std::uint32_t displayID) const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
