#pragma once
// The timing of a client's links: a lost link is held for another to take over, and a display
// left without a client is kept for the grace period. It owns the two timers and the lost link's
// kind; what happens when one runs out is the session's. Main-executor confined.
#include <functional>
#include <optional>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/KivConstants.hpp"

namespace kiv {

// Settings are seconds; negative or non-finite lengths act as no wait at all.
Duration secondsToDuration(double seconds);

class LinkSupervisor {
public:
    struct Hooks {
        std::function<void()> holdExpired;  // no link took over in time
        std::function<void()> graceExpired; // the kept display's time is up
    };

    LinkSupervisor(Executor& main, Hooks hooks) : main_(main), hooks_(std::move(hooks)) {}

    // The active link went away: hold the client for `hold`. A second loss restarts the hold.
    void linkLost(TransportKind kind, Duration hold);
    // A link took over the held client: the hold and any grace end. The kind the client lost, if
    // it lost one (a switch between two live links has none).
    std::optional<TransportKind> takeOver();
    // The client is gone for good: no hold any more (the grace, if any, goes on).
    void clientGone();
    // Keeps the display for `grace`; restarting replaces the running grace.
    void startGrace(Duration grace);
    void cancelGrace() { graceTimer_.cancel(); }

    bool isHolding() const { return holdTimer_.isPending(); }
    bool isInGrace() const { return graceTimer_.isPending(); }
    std::optional<TransportKind> lostLink() const { return lostLink_; }

private:
    Executor& main_;
    Hooks hooks_;
    std::optional<TransportKind> lostLink_;
    // Cancelled on the main executor before they fire, so `this` in their tasks is never stale.
    ScopedTimer holdTimer_;
    ScopedTimer graceTimer_;
};

} // namespace kiv
