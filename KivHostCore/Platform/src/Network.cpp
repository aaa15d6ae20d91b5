#include "KivHostCore/Platform/Network.hpp"

#include "KivHostCore/Runtime/OnceFlag.hpp"

namespace kiv {

const char* toText(ConnectionState state) {
    switch (state) {
    case ConnectionState::setup: return "setup";
    case ConnectionState::preparing: return "preparing";
    case ConnectionState::waiting: return "waiting";
    case ConnectionState::ready: return "ready";
    case ConnectionState::failed: return "failed";
    case ConnectionState::cancelled: return "cancelled";
    }
    return "?";
}

void startWithin(const std::shared_ptr<Connection>& connection, Executor& queue, Duration timeout,
                 std::function<void(std::shared_ptr<Connection>)> done) {
    auto once = std::make_shared<OnceFlag>();
    auto finish = std::make_shared<std::function<void(std::shared_ptr<Connection>)>>(std::move(done));
    const auto settle = [once, finish](const std::shared_ptr<Connection>& live, bool ready) {
        if (!once->tryClaim()) return;
        live->setStateHandler({});
        if (!ready) live->cancel();
        (*finish)(ready ? live : nullptr);
    };
    connection->setStateHandler(
        [weak = std::weak_ptr<Connection>(connection), settle](ConnectionState state, const NetworkError&) {
            const auto live = weak.lock();
            if (!live) return;
            switch (state) {
            case ConnectionState::ready: settle(live, true); break;
            case ConnectionState::waiting:
            case ConnectionState::failed:
            case ConnectionState::cancelled: settle(live, false); break;
            default: break;
            }
        });
    connection->start(queue);
    queue.postAfter(timeout, [connection, settle] { settle(connection, false); });
}

const char* toText(ListenerState state) {
    switch (state) {
    case ListenerState::setup: return "setup";
    case ListenerState::waiting: return "waiting";
    case ListenerState::ready: return "ready";
    case ListenerState::failed: return "failed";
    case ListenerState::cancelled: return "cancelled";
    }
    return "?";
}

} // namespace kiv
