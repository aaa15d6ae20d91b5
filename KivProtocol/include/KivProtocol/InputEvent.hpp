#pragma once
// Touch input from the device, normalised to the shown picture, and the mapping between
// a device's view, the picture and a display's bounds.
#include <cstdint>
#include <optional>
#include <string>

#include "KivProtocol/EnumText.hpp"

namespace kiv {

struct InputEvent {
    enum class Kind { move, down, drag, up, tap, rightClick, scroll, switchSpace };
    Kind kind = Kind::move;
    double x = 0;
    double y = 0;
    double dx = 0;
    double dy = 0;
    std::uint32_t seq = 0;
    std::uint64_t clientTimeUs = 0;
    bool operator==(const InputEvent&) const = default;
};

template <>
struct EnumTraits<InputEvent::Kind> {
    static constexpr std::array<std::string_view, 8> names{"move", "down",       "drag",   "up",
                                                           "tap",  "rightClick", "scroll", "switchSpace"};
};

struct InputStatus {
    bool enabled = false;
    std::optional<std::string> reason; // RemoteText form
    bool operator==(const InputStatus&) const = default;
};

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool operator==(const Rect&) const = default;
};

struct TouchCoordinateMapper {
    enum class Gravity { aspectFit, aspectFill };

    Size viewSize;
    Size contentSize;
    Gravity gravity = Gravity::aspectFit;

    // Where the picture is shown, in view coordinates (may extend past the view for aspectFill).
    Rect contentRect() const;
    // View point to normalised picture point; nothing outside the picture unless clamped.
    std::optional<Point> normalize(Point point, bool clamp) const;
    // View movement to a fraction of the picture size; (0, 0) when the picture has no size.
    Point normalizedDelta(double dx, double dy) const;
    // Normalised point to a point inside a display rectangle; 1.0 lands on the last point inside.
    static Point denormalize(Point point, Rect displayBounds);

    bool operator==(const TouchCoordinateMapper&) const = default;
};

} // namespace kiv
