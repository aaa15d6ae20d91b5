#pragma once
// The user's sound must not stay silenced when the host ends without giving it back (killed,
// crashed, out of memory): a small child forked at start, before any thread, waits for the host
// to go and then restores the output that the settings file says was silenced, as the next start
// would. A host that ended in order has removed that note, and the child just leaves.
#include <filesystem>

namespace kiv {

// Call from main while the process has one thread (it does nothing otherwise). The child ignores
// SIGINT, SIGTERM and SIGHUP (a terminal's Ctrl-C, a service manager's stop): it ends when the host has.
void startSoundGuard(const std::filesystem::path& settingsFile);

} // namespace kiv
