#pragma once
// What a host that ends without cleaning up (killed, crashed, out of memory) leaves behind must not
// wait for its next start: the user's sound silenced, and monitors on the X server that windows
// and the pointer go on to. A small child forked at start, before any thread, waits for the host
// to go and then does what the next start would: gives back the output the settings file says was
// silenced, and takes back the monitors of ours on the X servers it was told of (unless a live
// host owns them by then) and our outputs on a sway compositor. A host that ended in order has
// left nothing, and the child just leaves.
#include <filesystem>
#include <string>

namespace kiv {

// Call from main while the process has one thread (it does nothing otherwise). The child ignores
// SIGINT, SIGTERM and SIGHUP (a terminal's Ctrl-C, a service manager's stop): it ends when the host has.
void startHostGuard(const std::filesystem::path& settingsFile);

// The program now runs as the host (it may have ended before: a second instance, a bad flag),
// making its monitors on the X server `x11Display` (as in DISPLAY; empty: none of its own there),
// or, with `swayOutputs`, outputs on the sway compositor of its environment ($SWAYSOCK). Until
// then the guard does nothing when the program ends.
void armHostGuard(const std::string& x11Display, bool swayOutputs = false);

// The host ends in order, having given everything back itself: the guard leaves without looking
// (another host may use that X server by then).
void standDownHostGuard();

} // namespace kiv
