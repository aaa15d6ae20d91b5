#pragma once
// Running other programs: start one with its output in a file, stop it by PID, or run one to
// completion. Children die with the thread that started them (PR_SET_PDEATHSIG), so a host that
// crashes never leaves its private X server behind.
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kiv {

// Full path of an installed program (PATH plus the sbin folders daemons live in), or nothing.
std::optional<std::string> findProgram(const std::string& name);

// A private folder removed (recursively) on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kiv");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
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

} // namespace kiv
