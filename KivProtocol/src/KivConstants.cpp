#include "KivProtocol/KivConstants.hpp"

#include "KivProtocol/Localization.hpp"

namespace kiv {

std::string title(TransportKind kind) {
    switch (kind) {
    case TransportKind::wifi: return localize("Wi-Fi");
    case TransportKind::usb: return localize("USB");
    }
    return {};
}

} // namespace kiv
