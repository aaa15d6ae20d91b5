#pragma once
// Screen grabbing on a wlroots compositor: the output that shows a rectangle is copied with
// wlr-screencopy into shared memory, one copy always waiting for the output's next damaged frame
// (a still screen costs nothing), into two buffers in turn so the newest complete picture can be
// converted while the next one is copied. BGRA is converted to NV12 as on X11. Layout changes
// come from the outputs' xdg-output descriptions; a compositor that goes away is reported once.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivHostCore/Platform/ScreenGrabber.hpp"

namespace kiv {

class WlrScreenGrabber final : public ScreenGrabber {
public:
    // The compositor's output name of a display ID; nothing when the ID is not ours.
    using OutputNames = std::function<std::optional<std::string>(std::uint32_t displayID)>;
    // `display`: the Wayland socket name or path ("" = $WAYLAND_DISPLAY).
    WlrScreenGrabber(std::string display, OutputNames names);
    ~WlrScreenGrabber() override;

    // permissionDenied without a compositor or without its screen copy interface.
    std::expected<void, CaptureError> open(Executor& queue) override;
    // A display's output rectangle in the layout; no ID: the first output (the main screen).
    std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) override;
    void watch(ScreenRect rect, GrabberEvents events) override;
    bool grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) override;
    std::uint64_t lastConvertMicros() const override;
    void close() override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
