#include <algorithm>

#include "KivProtocol/InputEvent.hpp"

namespace kiv {
namespace {
double clampUnit(double value) {
    if (!(value > 0)) return 0; // also maps NaN to the edge instead of a wild position
    if (value > 1) return 1;
    return value;
}
} // namespace

Rect TouchCoordinateMapper::contentRect() const {
    if (!(viewSize.width > 0) || !(viewSize.height > 0) || !(contentSize.width > 0) || !(contentSize.height > 0)) {
        return Rect{0, 0, viewSize.width, viewSize.height};
    }
    const double sx = viewSize.width / contentSize.width;
    const double sy = viewSize.height / contentSize.height;
    const double s = gravity == Gravity::aspectFit ? std::min(sx, sy) : std::max(sx, sy);
    const double width = contentSize.width * s;
    const double height = contentSize.height * s;
    return Rect{(viewSize.width - width) * 0.5, (viewSize.height - height) * 0.5, width, height};
}

std::optional<Point> TouchCoordinateMapper::normalize(Point point, bool clamp) const {
    const Rect rect = contentRect();
    if (!(rect.width > 0) || !(rect.height > 0)) return std::nullopt;
    const double nx = (point.x - rect.minX()) / rect.width;
    const double ny = (point.y - rect.minY()) / rect.height;
    // Written so that NaN also counts as outside.
    const bool inside = nx >= 0 && nx <= 1 && ny >= 0 && ny <= 1;
    if (!clamp && !inside) return std::nullopt;
    return Point{clampUnit(nx), clampUnit(ny)};
}

Point TouchCoordinateMapper::normalizedDelta(double dx, double dy) const {
    const Rect rect = contentRect();
    if (!(rect.width > 0) || !(rect.height > 0)) return Point{0, 0};
    return Point{dx / rect.width, dy / rect.height};
}

Point TouchCoordinateMapper::denormalize(Point point, Rect bounds) {
    const double x = clampUnit(point.x);
    const double y = clampUnit(point.y);
    return Point{std::min(bounds.minX() + x * bounds.width, bounds.maxX() - 1),
                 std::min(bounds.minY() + y * bounds.height, bounds.maxY() - 1)};
}

} // namespace kiv
