#pragma once
// A touch screen has no right button: a finger held still is the right click. A touch press is
// therefore held back until it moves (a drag), lifts (a tap) or stays long enough (a right click);
// mouse presses never wait.
#include <chrono>
#include <cmath>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "KivProtocol/InputEvent.hpp"

namespace kiv::receiver {

class LongPress {
public:
    static constexpr std::chrono::milliseconds kHold{600};
    static constexpr double kSlop = 8; // window points a finger may wobble and still be holding

    struct Action {
        InputEvent::Kind kind;
        double x = 0;
        double y = 0;
        bool operator==(const Action&) const = default;
    };
    using Clock = std::chrono::steady_clock;

    void press(double x, double y, Clock::time_point at) { state_ = Pending{x, y, at}; }

    std::vector<Action> move(double x, double y) {
        if (const auto* pending = std::get_if<Pending>(&state_)) {
            if (std::hypot(x - pending->x, y - pending->y) <= kSlop) return {};
            const Action down{InputEvent::Kind::down, pending->x, pending->y};
            state_ = Dragging{};
            return {down, {InputEvent::Kind::drag, x, y}};
        }
        if (std::holds_alternative<Dragging>(state_)) return {{InputEvent::Kind::drag, x, y}};
        return {};
    }

    std::vector<Action> release(double x, double y) {
        const auto was = std::exchange(state_, Idle{});
        if (const auto* pending = std::get_if<Pending>(&was))
            return {{InputEvent::Kind::down, pending->x, pending->y}, {InputEvent::Kind::up, x, y}};
        if (std::holds_alternative<Dragging>(was)) return {{InputEvent::Kind::up, x, y}};
        return {}; // the right click went already; the lift is no tap
    }

    // Call often (every pump); the right click fires once the finger has stayed long enough.
    std::optional<Action> poll(Clock::time_point now) {
        const auto* pending = std::get_if<Pending>(&state_);
        if (!pending || now - pending->at < kHold) return std::nullopt;
        const Action click{InputEvent::Kind::rightClick, pending->x, pending->y};
        state_ = Fired{};
        return click;
    }

    bool active() const { return !std::holds_alternative<Idle>(state_); }

private:
    struct Idle {};
    struct Pending {
        double x;
        double y;
        Clock::time_point at;
    };
    struct Dragging {};
    struct Fired {};
    std::variant<Idle, Pending, Dragging, Fired> state_;
};

} // namespace kiv::receiver
