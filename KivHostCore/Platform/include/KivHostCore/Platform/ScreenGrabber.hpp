#pragma once
// Grabs pictures of a rectangle of the desktop and reports when it changes.
// Threading: every call, and the damage callback, on the capture queue given to open().
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "KivHostCore/Platform/FrameSource.hpp"
#include "KivHostCore/Platform/PixelBuffer.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const ScreenRect&) const = default;
};

// What a watched desktop reports, on the capture queue.
struct GrabberEvents {
    // Something inside the watched rectangle was redrawn; `fresh` when it lies away from all that
    // was redrawn a moment before (a key typed, not the next picture of a video), as far as the
    // grabber can tell.
    std::function<void(bool fresh)> changed;
    std::function<void()> layoutChanged; // displays were added, moved, resized or removed: look again
    // The connection to the desktop is gone (`code`: the platform's error number); nothing more
    // will be reported and every grab fails from now on.
    std::function<void(const std::string& why, int code)> lost;
};

class ScreenGrabber {
public:
    virtual ~ScreenGrabber() = default;
    // permissionDenied when the desktop cannot be read (no display, no shared memory).
    virtual std::expected<void, CaptureError> open(Executor& queue) = 0;
    // The rectangle of a display (nothing: the whole desktop); nothing when it is not there (yet).
    virtual std::optional<ScreenRect> displayRect(std::optional<std::uint32_t> displayID) = 0;
    // Reports redraws inside `rect`, layout changes and the loss of the desktop. Calling it again
    // moves the watch to another rectangle (a display laid out elsewhere).
    virtual void watch(ScreenRect rect, GrabberEvents events) = 0;
    // Copies `rect` into `out` (NV12), scaled to fit with the aspect kept and the rest black.
    // False when the picture could not be read (a rectangle outside the screen, a lost server).
    virtual bool grab(ScreenRect rect, PixelBuffer& out, bool showsCursor) = 0;
    // How long the last grab spent converting what it read (µs; 0 when it cannot tell).
    virtual std::uint64_t lastConvertMicros() const { return 0; }
    virtual void close() = 0;
};

} // namespace kiv
