#pragma once
// Where GNOME's compositor shows each monitor, read from its display configuration service.
#include <string>
#include <vector>

#include "KivHostCore/Linux/MutterDesktop.hpp"
#include "MutterBus.hpp"

namespace kiv {

// connector: the compositor's name of the monitor; rect: in the layout's coordinates.
using MutterScreen = MutterDesktop::Screen;

// A GetCurrentState reply; anything of another shape gives nothing.
std::vector<MutterScreen> parseMutterLayout(GVariant* state);
// Asks the compositor; nothing when it does not answer.
std::vector<MutterScreen> readMutterLayout(const MutterBus& bus);

} // namespace kiv
