#pragma once
// Where GNOME's compositor shows each monitor, read from its display configuration service.
#include <string>
#include <vector>

#include "KivHostCore/Platform/ScreenGrabber.hpp"
#include "MutterBus.hpp"

namespace kiv {

struct MutterScreen {
    std::string connector; // the compositor's name of the monitor ("Meta-0", a virtual one's own)
    ScreenRect rect;       // in the layout's coordinates
    bool primary = false;
};

// A GetCurrentState reply; anything of another shape gives nothing.
std::vector<MutterScreen> parseMutterLayout(GVariant* state);
// Asks the compositor; nothing when it does not answer.
std::vector<MutterScreen> readMutterLayout(const MutterBus& bus);

} // namespace kiv
