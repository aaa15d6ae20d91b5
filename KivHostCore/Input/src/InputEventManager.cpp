#include "KivHostCore/Input/InputEventManager.hpp"

#include <cmath>
#include <fmt/format.h>
#include <limits>

namespace kiv {

namespace {
// Deltas beyond what a wheel event can carry are clamped rather than wrapped.
std::int32_t toWheel(double pixels) {
    if (!std::isfinite(pixels)) return 0;
    return static_cast<std::int32_t>(std::clamp(std::trunc(pixels), double(std::numeric_limits<std::int32_t>::min()),
                                                double(std::numeric_limits<std::int32_t>::max())));
}
} // namespace

std::shared_ptr<InputEventManager> InputEventManager::create(Executor& queue, std::shared_ptr<EventPoster> poster,
                                                             BoundsProvider bounds,
                                                             std::shared_ptr<KeyValueStore> defaults,
                                                             SecondsClock clock) {
    return std::make_shared<InputEventManager>(queue, std::move(poster), std::move(bounds), std::move(defaults),
                                               std::move(clock));
}

InputEventManager::InputEventManager(Executor& queue, std::shared_ptr<EventPoster> poster, BoundsProvider bounds,
                                     std::shared_ptr<KeyValueStore> defaults, SecondsClock clock)
    : queue_(queue), handle_(queue.handle()), poster_(std::move(poster)), bounds_(std::move(bounds)),
      defaults_(std::move(defaults)), clock_(std::move(clock)) {}

void InputEventManager::setDisplayID(std::optional<std::uint32_t> displayID) {
    const std::lock_guard lock(mutex_);
    displayID_ = displayID;
    if (displayID) mirrored_.reset();
}

void InputEventManager::setMirroredScreen(std::optional<Rect> bounds) {
    const std::lock_guard lock(mutex_);
    mirrored_ = bounds;
}

void InputEventManager::setEnabled(bool enabled) {
    const std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

void InputEventManager::setDryRun(bool dryRun, Rect bounds) {
    const std::lock_guard lock(mutex_);
    dryRun_ = dryRun;
    dryRunBounds_ = bounds;
}

bool InputEventManager::isDryRun() const {
    const std::lock_guard lock(mutex_);
    return dryRun_;
}

void InputEventManager::handle(const InputEvent& event) {
    handle_.post([weak = weak_from_this(), event] {
        if (auto self = weak.lock()) self->process(event);
    });
}

int InputEventManager::nextClickCount(Point point) {
    const double now = clock_();
    double threshold = defaults_ ? defaults_->number("kiv.input.doubleClickSeconds").value_or(0) : 0;
    if (!(threshold > 0)) threshold = 0.5;
    const double distance = std::hypot(point.x - lastClickPoint_.x, point.y - lastClickPoint_.y);
    clickCount_ = (now - lastClickTime_ < threshold && distance < kClickDistance)
                      ? std::min<std::int64_t>(clickCount_ + 1, 3)
                      : 1;
    lastClickTime_ = now;
    lastClickPoint_ = point;
    return static_cast<int>(clickCount_);
}

void InputEventManager::post(MouseEventType type, Point point, int clickState) {
    poster_->mouse(type, point.x, point.y, clickState);
}

void InputEventManager::process(const InputEvent& event) {
    std::optional<std::uint32_t> displayID;
    std::optional<Rect> mirrored;
    bool enabled = false;
    bool dryRun = false;
    Rect dryBounds;
    {
        const std::lock_guard lock(mutex_);
        displayID = displayID_;
        mirrored = mirrored_;
        enabled = enabled_;
        dryRun = dryRun_;
        dryBounds = dryRunBounds_;
    }
    if (!enabled) return;
    if (!displayID && !mirrored) {
        // Between displays (a resize, a recreation): nowhere to put it, but counted.
        const std::lock_guard lock(statsMutex_);
        ++droppedNoDisplay_;
        return;
    }
    if (!dryRun) {
        if (!poster_->isTrusted()) {
            {
                const std::lock_guard lock(statsMutex_);
                ++droppedUnauthorized_;
            }
            if (!reportedUnauthorized_) {
                reportedUnauthorized_ = true;
                log_.warning("Touch input dropped: Accessibility permission not granted");
                if (onUnauthorizedInput) onUnauthorizedInput();
            }
            return;
        }
        reportedUnauthorized_ = false;
    }
    // A device could send anything: positions and movements that are not finite go nowhere.
    if (!std::isfinite(event.x) || !std::isfinite(event.y) || !std::isfinite(event.dx) || !std::isfinite(event.dy)) {
        log_.warning(fmt::format("Touch input dropped: non-finite {} event", toText(event.kind)));
        return;
    }
    const auto started = queue_.now();
    // Only for the lines below, which are rare (a warning) or off (frame logging): built on demand.
    const auto displayName = [&] { return displayID ? std::to_string(*displayID) : std::string("(mirrored)"); };
    auto bounds = displayID ? (bounds_ ? bounds_(*displayID) : std::nullopt) : mirrored;
    if (dryRun && (!bounds || !(bounds->width > 0) || !(bounds->height > 0))) bounds = dryBounds;
    if (!bounds || !(bounds->width > 0) || !(bounds->height > 0)) {
        log_.warning(fmt::format("Touch input dropped: display {} has no bounds", displayName()));
        return;
    }
    const Point point = TouchCoordinateMapper::denormalize(Point{event.x, event.y}, *bounds);
    log_.debug([&] {
        return fmt::format("input {} n=({:.4f},{:.4f}) → global ({},{}) display {} bounds ({},{} {}x{})",
                           toText(event.kind), event.x, event.y, static_cast<std::int64_t>(point.x),
                           static_cast<std::int64_t>(point.y), displayName(), bounds->x, bounds->y, bounds->width,
                           bounds->height);
    });
    const bool postEvents = !dryRun;
    switch (event.kind) {
    case InputEvent::Kind::move:
        if (postEvents) post(leftDown_ ? MouseEventType::leftDragged : MouseEventType::moved, point, 0);
        break;
    case InputEvent::Kind::down: {
        leftDown_ = true;
        const int n = nextClickCount(point);
        if (postEvents) post(MouseEventType::leftDown, point, n);
        break;
    }
    case InputEvent::Kind::drag:
        if (postEvents) post(MouseEventType::leftDragged, point, 1);
        break;
    case InputEvent::Kind::up: {
        leftDown_ = false;
        const int n = clickCount_ >= 2 ? static_cast<int>(clickCount_) : 1;
        if (postEvents) post(MouseEventType::leftUp, point, n);
        break;
    }
    case InputEvent::Kind::tap: {
        const int n = nextClickCount(point);
        if (postEvents) {
            post(MouseEventType::moved, point, 0);
            post(MouseEventType::leftDown, point, n);
            post(MouseEventType::leftUp, point, n);
        }
        break;
    }
    case InputEvent::Kind::rightClick:
        if (postEvents) {
            post(MouseEventType::moved, point, 0);
            post(MouseEventType::rightDown, point, 1);
            post(MouseEventType::rightUp, point, 1);
        }
        break;
    case InputEvent::Kind::scroll: {
        const auto vertical = toWheel(event.dy * bounds->height);
        const auto horizontal = toWheel(event.dx * bounds->width);
        if (postEvents && (vertical != 0 || horizontal != 0)) poster_->scroll(vertical, horizontal, point.x, point.y);
        break;
    }
    case InputEvent::Kind::switchSpace:
        if (postEvents) {
            const int arrow = event.dx > 0 ? 124 : 123;
            poster_->key(59, true, kControlFlag);
            poster_->key(arrow, true, kArrowFlags);
            poster_->key(arrow, false, kArrowFlags);
            poster_->key(59, false, 0);
        }
        break;
    }
    const auto elapsed = static_cast<std::uint64_t>(std::max<std::int64_t>((queue_.now() - started).count(), 0));
    const std::lock_guard lock(statsMutex_);
    ++stats_[std::string(toText(event.kind))];
    lastMapped_ = std::make_pair(event.kind, point);
    processingUs_ += elapsed;
    maxProcessingUs_ = std::max(maxProcessingUs_, elapsed);
}

std::optional<std::string> InputEventManager::takeStats() {
    bool dryRun = false;
    {
        const std::lock_guard lock(mutex_);
        dryRun = dryRun_;
    }
    const std::lock_guard lock(statsMutex_);
    {
        std::int64_t total = 0;
        for (const auto& [kind, count] : stats_)
            total += count;
        if (total < 1 && droppedUnauthorized_ < 1 && droppedNoDisplay_ < 1) return std::nullopt;
        std::string breakdown;
        for (const auto& [kind, count] : stats_) { // std::map: ascending kind names
            if (!breakdown.empty()) breakdown += ' ';
            breakdown += fmt::format("{}={}", kind, count);
        }
        const double average =
            total >= 1 ? static_cast<double>(processingUs_) / static_cast<double>(total) / 1000.0 : 0;
        std::string text = fmt::format("touch events {} ({}) inject avg {:.2f}ms max {:.2f}ms", total, breakdown,
                                       average, static_cast<double>(maxProcessingUs_) / 1000.0);
        if (lastMapped_) {
            text += fmt::format(" | last {} → global ({},{})", toText(lastMapped_->first),
                                static_cast<std::int64_t>(lastMapped_->second.x),
                                static_cast<std::int64_t>(lastMapped_->second.y));
        }
        if (dryRun) text += " [dry-run]";
        if (droppedUnauthorized_ > 0) text += fmt::format(" | dropped (no accessibility) {}", droppedUnauthorized_);
        if (droppedNoDisplay_ > 0) text += fmt::format(" | dropped (no display) {}", droppedNoDisplay_);
        stats_.clear();
        processingUs_ = maxProcessingUs_ = 0;
        droppedUnauthorized_ = 0;
        droppedNoDisplay_ = 0;
        return text;
    }
}

} // namespace kiv
