#include "KivHostCore/Platform/Network.hpp"

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
