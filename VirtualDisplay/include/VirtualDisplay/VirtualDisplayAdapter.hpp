#pragma once
// The seam between the manager's logic and the display system: the platform creates displays,
// lists what is online and which modes a display offers, and switches modes. The X11 RandR
// implementation lives in Linux/, a recording fake in Testing/.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "VirtualDisplay/VirtualDisplayTypes.hpp"

namespace kiv {

// What the display system needs to make a display.
struct VirtualDisplayDescriptor {
    std::string name;
    std::uint32_t maxPixelsWide = 0;
    std::uint32_t maxPixelsHigh = 0;
    double widthMillimeters = 0;
    double heightMillimeters = 0;
    std::uint32_t vendorID = 0;
    std::uint32_t productID = 0;
    std::uint32_t serialNumber = 0;
};

// A mode as the display system lists it (points and pixels); not the protocol's DisplayModeInfo.
struct ScreenModeInfo {
    std::uint32_t pointWidth = 0;
    std::uint32_t pointHeight = 0;
    std::uint32_t pixelWidth = 0;
    std::uint32_t pixelHeight = 0;
    bool operator==(const ScreenModeInfo&) const = default;
    // Its size on a desktop that draws `scale` pixels per point: a HiDPI mode (more pixels than
    // points) gets that many per point, on even sides; any other keeps its pixels.
    std::pair<int, int> drawnAt(double scale) const {
        if (pixelWidth <= pointWidth) return {static_cast<int>(pixelWidth), static_cast<int>(pixelHeight)};
        const auto side = [scale](std::uint32_t points) {
            return std::max(2, static_cast<int>(std::lround(points * scale / 2)) * 2);
        };
        return {side(pointWidth), side(pointHeight)};
    }
};

// One live display. Called under the manager's locks; never calls back into the manager.
class VirtualDisplayObject {
public:
    virtual ~VirtualDisplayObject() = default; // releasing the object removes the display
    // Stable while the display lives; 0 when there is none.
    virtual std::uint32_t displayID() const = 0;
    // Offers `modes` (first = active) as the display's mode list. False when there is no display,
    // the list is empty, or the system refuses.
    virtual bool applyModes(const std::vector<VirtualDisplayMode>& modes, bool hiDPI) = 0;
    // Removes the display now.
    virtual void invalidate() = 0;
};

class VirtualDisplayAdapter {
public:
    virtual ~VirtualDisplayAdapter() = default;

    virtual bool isSupported() const = 0;
    // Null when unsupported or the system made no display (or one with ID 0). `onTerminated`
    // runs on the host's main queue when someone else removes the display; it may outlive the
    // manager, so it must hold it weakly.
    virtual std::unique_ptr<VirtualDisplayObject> create(const VirtualDisplayDescriptor& descriptor,
                                                         std::function<void()> onTerminated) = 0;
    // Whether the system currently lists `displayID`; false on any error.
    virtual bool isOnline(std::uint32_t displayID) const = 0;
    // Every mode the system lists for the display (duplicate low-resolution ones included).
    virtual std::vector<ScreenModeInfo> modes(std::uint32_t displayID) const = 0;
    // Switches the display to `mode` for this session; false (and nothing changed) on failure.
    virtual bool configureMode(std::uint32_t displayID, const ScreenModeInfo& mode) = 0;
    // The listed mode the system shows the display in now; nothing when offline or unknown.
    virtual std::optional<ScreenModeInfo> currentMode(std::uint32_t displayID) const = 0;
    // The pixels the desktop really draws the display with now: a HiDPI mode on a desktop that
    // draws fewer pixels per point than its backing has fewer than the mode lists.
    virtual std::optional<std::pair<int, int>> drawnSize(std::uint32_t displayID) const {
        const auto mode = currentMode(displayID);
        if (!mode) return std::nullopt;
        return std::pair{static_cast<int>(mode->pixelWidth), static_cast<int>(mode->pixelHeight)};
    }
};

// Time for the settle waits. The manager blocks its caller's thread in `sleepFor` (those waits
// serialise display changes across the process); `after` is the asynchronous wait of
// `waitForMode` and must not run `task` inline.
class VirtualDisplayClock {
public:
    using Duration = std::chrono::microseconds;
    virtual ~VirtualDisplayClock() = default;
    virtual Duration now() const = 0;
    virtual void sleepFor(Duration duration) = 0;
    virtual void after(Duration delay, std::function<void()> task) = 0;
};

} // namespace kiv
