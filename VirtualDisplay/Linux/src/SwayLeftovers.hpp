#pragma once
// What a host leaves on a sway compositor, and how it is made harmless. A host that is killed
// leaves its outputs enabled right of the desktop: the pointer and windows go on to screens
// nobody sees. The outputs a host made are written down in a ledger file named after the
// compositor's socket (its pid is in the name, so a restarted compositor starts a fresh one), with
// the process that owns each; the next host, or the dead host's guard, takes them back.
//
// Where the compositor cannot remove an output (sway before 1.8 has no `unplug`, and a headless
// output cannot even be disabled there), an unused output is parked: the workspaces with windows
// go to the user's screen, the empty one left gets a name no key binding reaches, and it shrinks to
// 16×16 pixels away from the layout, out of the pointer's reach.
#include <filesystem>
#include <string>
#include <vector>

#include "VirtualDisplay/Linux/SwayIpc.hpp"

namespace kiv::sway {

class OutputLedger {
public:
    OutputLedger() = default;
    // The ledger of the compositor at `socket`, kept in `runtimeDir` ($XDG_RUNTIME_DIR when empty,
    // else the socket's folder).
    OutputLedger(const std::string& socket, const std::string& runtimeDir);

    // The output is this process's (made, or taken over).
    void own(const std::string& output) const;
    void release(const std::string& output) const;
    // Parked, for the next host to use.
    void free(const std::string& output) const;
    struct Taken {
        std::vector<std::string> left;   // by a host that ended without cleaning up
        std::vector<std::string> parked; // free
    };
    // The outputs no live process owns; they are this process's from now on.
    Taken take() const;
    // Ledgers in the same folder whose compositor is gone.
    void removeStale() const;

private:
    template <class Change>
    void update(Change&& change) const;
    std::filesystem::path file_;
    bool besideSockets_ = false; // kept in the folder of the compositors' sockets
};

// The name an unused output's workspace is given; a number of its own once a device uses it again.
std::string parkedWorkspace(const std::string& output);

// Moves `output` out of the way as above; true when the compositor did so. `ours` are every
// output of the host (none of them is the user's screen), `parked` those parked already.
bool park(SwayIpc& ipc, const std::string& output, const std::vector<SwayOutput>& outputs,
          const std::vector<std::string>& ours, const std::vector<std::string>& parked);
// A parked output shown again: its workspace gets the lowest free number.
void unpark(SwayIpc& ipc, const std::string& output);

} // namespace kiv::sway
