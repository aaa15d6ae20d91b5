#pragma once
// Running real programs and daemons from tests: start, wait for readiness, stop by PID.
// Children die with the test process (PR_SET_PDEATHSIG), so a crashed or timed-out test
// never leaves a server behind.
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kiv::test {

// Full path of an installed program (PATH plus the sbin folders daemons live in), or nothing.
std::optional<std::string> findProgram(const std::string& name);

// Polls `condition` every `interval` until it holds or `timeout` passes. For readiness only.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20));

// A private folder removed (recursively) on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kiv-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

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

struct ProcessOptions {
    std::vector<std::string> argv;                                // argv[0] is the program path
    std::vector<std::pair<std::string, std::string>> environment; // added to or replacing ours
    std::filesystem::path logFile;                                // stdout and stderr; /dev/null when empty
    std::vector<int> keepFds;                                     // descriptors the child inherits
};

class ChildProcess {
public:
    static std::expected<ChildProcess, std::string> start(const ProcessOptions& options);

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { stop(); }

    pid_t pid() const { return pid_; }
    bool isRunning();
    // SIGTERM to its process group, then SIGKILL after `grace`; reaps it. Returns the wait status
    // (or -1 when nothing was running).
    int stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    // Waits for the process to exit by itself; the wait status, or nothing on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    std::string log() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path logFile_;
};

// Runs a program to completion and returns its exit code and output (stdout + stderr).
struct RunResult {
    int exitCode = -1;
    std::string output;
};
RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& environment = {},
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

// A loopback port that was free a moment ago, for SOCK_STREAM or SOCK_DGRAM: for a child
// process that must be told its port before it starts.
std::uint16_t freeLoopbackPort(int socketType);

} // namespace kiv::test
