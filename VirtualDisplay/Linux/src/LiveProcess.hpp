#pragma once
// Whether the process that wrote itself down as an owner (of monitors, of outputs) still runs.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

namespace kiv {

// This process counts as live; kill(pid, 0) fails with ESRCH for a process that is gone, and EPERM
// means it lives; one that ended but was not reaped yet (a zombie) is gone too.
inline bool liveProcess(long pid) {
    if (pid <= 0) return false;
    if (pid == ::getpid()) return true;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

} // namespace kiv
