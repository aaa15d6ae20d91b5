#include "KivProtocol/KivConstants.hpp"

#include "KivProtocol/Localization.hpp"

namespace kiv {

std::string_view name(TransportKind kind) {
    switch (kind) {
    case TransportKind::wifi: return "Wi-Fi";
    case TransportKind::usb: return "USB";
    case TransportKind::web: return "Web";
    }
    return {};
}

std::string title(TransportKind kind) {
    return localize(std::string(name(kind)));
}

} // namespace kiv
