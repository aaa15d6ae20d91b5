#include "KivHostCore/Service/LinkSupervisor.hpp"

#include <algorithm>

namespace kiv {

Duration secondsToDuration(double seconds) {
    if (!(seconds > 0)) return Duration::zero();
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(std::min(seconds, 1e9)));
}

void LinkSupervisor::linkLost(TransportKind kind, Duration hold) {
    lostLink_ = kind;
    holdTimer_ = main_.postAfter(hold, [this] {
        lostLink_.reset();
        if (hooks_.holdExpired) hooks_.holdExpired();
    });
}

std::optional<TransportKind> LinkSupervisor::takeOver() {
    holdTimer_.cancel();
    graceTimer_.cancel();
    return std::exchange(lostLink_, std::nullopt);
}

void LinkSupervisor::clientGone() {
    holdTimer_.cancel();
    lostLink_.reset();
}

void LinkSupervisor::startGrace(Duration grace) {
    graceTimer_ = main_.postAfter(grace, [this] {
        if (hooks_.graceExpired) hooks_.graceExpired();
    });
}

} // namespace kiv
