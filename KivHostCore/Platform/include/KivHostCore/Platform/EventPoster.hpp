#pragma once
// Posts synthetic pointer and keyboard events into the desktop.
// Threading: called only from the input queue; implementations need no locking of their own.
// Failures are silent by design: a dropped synthetic event must never stop the session.
#include <cstdint>
#include <functional>
#include <optional>

#include "KivProtocol/InputEvent.hpp"

namespace kiv {

// Bounds of a display in global desktop coordinates; nothing when it has none. Called on the
// input queue for every touch, so implementations answer from what they already know.
using DisplayBoundsProvider = std::function<std::optional<Rect>(std::uint32_t displayID)>;

// The pointer events a touch becomes (numbered as the platform's event types).
enum class MouseEventType { leftDown = 1, leftUp = 2, rightDown = 3, rightUp = 4, moved = 5, leftDragged = 6 };

class EventPoster {
public:
    virtual ~EventPoster() = default;

    // False when the desktop refuses synthetic input (the input manager reports it once).
    virtual bool isTrusted() const = 0;

    // x, y in global desktop coordinates; clickState counts 1, 2, 3 for single, double, triple clicks.
    virtual void mouse(MouseEventType type, double x, double y, int clickState) = 0;
    // Pixel deltas: positive vertical scrolls up, positive horizontal scrolls left.
    virtual void scroll(std::int32_t verticalPixels, std::int32_t horizontalPixels, double x, double y) = 0;
    virtual void key(int keyCode, bool down, std::uint64_t flags) = 0;
};

} // namespace kiv
