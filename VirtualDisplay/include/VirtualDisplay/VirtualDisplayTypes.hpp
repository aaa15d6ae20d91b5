#pragma once
// Values describing a virtual display: its modes, its configuration and the errors of the manager.
#include <cstdint>
#include <string>
#include <vector>

namespace kiv {

struct VirtualDisplayMode {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double refreshRate = 0; // hertz

    static const VirtualDisplayMode p720;
    static const VirtualDisplayMode p900;
    static const VirtualDisplayMode p1080;

    // "1920×1080@60" (refresh rate truncated).
    std::string text() const;
    // Square counts as landscape.
    bool isPortrait() const { return width < height; }
    // Positive sizes and a positive, finite refresh rate.
    bool isValid() const;
    bool operator==(const VirtualDisplayMode&) const = default;
};

struct VirtualDisplayConfiguration {
    std::string name;
    VirtualDisplayMode mode;
    std::vector<VirtualDisplayMode> additionalModes;
    bool hiDPI = false;
    double pixelsPerInch = 0;
    std::uint32_t vendorID = 0;
    std::uint32_t productID = 0;
    std::uint32_t serialNumber = 0;
    // Lower bounds for the display's maximum pixel size (0 unless a caller asks for more).
    std::uint32_t maxPixelsWide = 0;
    std::uint32_t maxPixelsHigh = 0;

    // `mode` then the additional modes, without a second mode of a size already listed (first wins).
    std::vector<VirtualDisplayMode> allModes() const;
    bool operator==(const VirtualDisplayConfiguration&) const = default;
};

struct VirtualDisplayError {
    enum class Kind { invalidMode, unsupported, alreadyActive, notActive, creationFailed, applySettingsFailed };
    Kind kind;
    VirtualDisplayMode mode{}; // invalidMode only

    static VirtualDisplayError invalidMode(VirtualDisplayMode mode) { return {Kind::invalidMode, mode}; }
    static VirtualDisplayError of(Kind kind) { return {kind, {}}; }

    // The message the session shows.
    std::string text() const;
    bool operator==(const VirtualDisplayError&) const = default;
};

} // namespace kiv
