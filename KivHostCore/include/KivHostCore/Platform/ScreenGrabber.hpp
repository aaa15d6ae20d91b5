#pragma once
// Grabs pictures of a rectangle of the desktop and reports when it changes.
// Threading: every call, and the damage callback, on the capture queue given to open().
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "KivHostCore/Media/FrameSource.hpp"
#include "KivHostCore/Media/PixelBuffer.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const ScreenRect&) const = default;
};

class ScreenGrabber {
public:
    virtual ~ScreenGrabber() = default;
    // permissionDenied when the desktop cannot be read (no display, no shared memory).
    virtual std::expected<void, CaptureError> open(Executor& queue) = 0;
    // The rectangle of a display (nothing: the whole desktop); nothing when it is not there (yet).
    virtual std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) = 0;
    // Calls `changed` whenever something inside `rect` is redrawn.
    virtual void watch(ScreenRect rect, std::function<void()> changed) = 0;
    // Copies `rect` into `out` (NV12), scaled to fit with the aspect kept and the rest black.
    virtual bool grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) = 0;
    virtual void close() = 0;
};

} // namespace kiv
