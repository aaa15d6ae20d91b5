#include "KivHostCore/Platform/HostTransport.hpp"

#include "KivProtocol/HostClock.hpp"

namespace kiv {

bool answerPing(const std::weak_ptr<HostTransport>& link, const ControlMessage& message) {
    const auto* ping = message.get<PingInfo>();
    if (!ping) return false;
    if (auto l = link.lock()) {
        const auto now = HostClock::nowMicros();
        l->sendControl({PongInfo{ping->t0, now, now}});
    }
    return true;
}

} // namespace kiv
