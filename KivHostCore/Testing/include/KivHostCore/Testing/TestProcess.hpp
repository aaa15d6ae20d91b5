#pragma once
// Running real programs and daemons from tests: start, wait for readiness, stop by PID. The
// process tools are the product's own (KivHostCore/Linux/ChildProcess.hpp); tests add waiting,
// machine-wide locks and free ports.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "KivHostCore/Linux/ChildProcess.hpp"

namespace kiv::test {

using kiv::ChildProcess;
using kiv::findProgram;
using kiv::ProcessOptions;
using kiv::runProgram;
using kiv::RunResult;

// A private folder removed on destruction, named for tests unless told otherwise.
class TempDir : public kiv::TempDir {
public:
    explicit TempDir(const std::string& prefix = "kiv-test") : kiv::TempDir(prefix) {}
};

// Polls `condition` every `interval` until it holds or `timeout` passes. For readiness only.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// Serialises tests that share a machine-wide resource (the system bus, /var/run/usbmuxd) across
// test processes that ctest runs in parallel: an flock on /tmp/kiv-test-<name>.lock.
class SystemLock {
public:
    explicit SystemLock(const std::string& name);
    ~SystemLock();
    SystemLock(const SystemLock&) = delete;
    SystemLock& operator=(const SystemLock&) = delete;

private:
    int fd_ = -1;
};

// A loopback port that was free a moment ago, for SOCK_STREAM or SOCK_DGRAM: for a child
// process that must be told its port before it starts.
std::uint16_t freeLoopbackPort(int socketType);

} // namespace kiv::test
