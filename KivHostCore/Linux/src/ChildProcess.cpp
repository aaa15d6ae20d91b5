#include "KivHostCore/Linux/ChildProcess.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kiv {

std::optional<std::string> findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) == 0) return name;
        return std::nullopt;
    }
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/local/bin:/usr/bin:/bin";
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const auto candidate = std::filesystem::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::pair<std::string, std::string>>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : overrides)
            replaced = replaced || key == name;
        if (!replaced) result.push_back(text);
    }
    for (const auto& [key, value] : overrides)
        result.push_back(key + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

std::expected<ChildProcess, std::string> ChildProcess::start(const ProcessOptions& options) {
    if (options.argv.empty()) return std::unexpected("no program given");
    auto argvStrings = options.argv;
    auto envStrings = mergedEnvironment(options.environment);
    auto argv = pointers(argvStrings);
    auto envp = pointers(envStrings);
    const std::string logPath = options.logFile.empty() ? "/dev/null" : options.logFile.string();
    const pid_t parent = ::getpid();

    // Everything the child needs is prepared above: after fork only async-signal-safe calls.
    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(std::string("fork failed: ") + std::strerror(errno));
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::setpgid(0, 0);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        // Nothing else of ours goes with the program: a socket it inherited would keep a
        // connection open after we close it.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 65536; ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        for (const int fd : options.keepFds) {
            const int flags = ::fcntl(fd, F_GETFD);
            if (flags >= 0) ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ChildProcess child;
    child.pid_ = pid;
    child.logFile_ = options.logFile;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::move(other.status_)), logFile_(std::move(other.logFile_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::move(other.status_);
        logFile_ = std::move(other.logFile_);
    }
    return *this;
}

bool ChildProcess::isRunning() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == pid_) {
        status_ = status;
        return false;
    }
    return result == 0;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    if (isRunning()) {
        ::kill(-pid_, SIGTERM);
        ::kill(pid_, SIGTERM);
        if (!wait(grace)) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            int status = 0;
            if (::waitpid(pid_, &status, 0) == pid_) status_ = status;
        }
    }
    pid_ = -1;
    return status_.value_or(-1);
}

std::string ChildProcess::log() const {
    if (logFile_.empty()) return {};
    std::ifstream in(logFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

RunResult runProgram(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& environment,
                     std::chrono::milliseconds timeout) {
    RunResult result;
    if (argv.empty()) return result;
    auto program = findProgram(argv.front());
    if (!program) {
        result.output = argv.front() + ": not installed";
        return result;
    }
    TempDir dir("kiv-run");
    ProcessOptions options;
    options.argv = argv;
    options.argv.front() = *program;
    options.environment = environment;
    options.logFile = dir.path() / "output";
    auto child = ChildProcess::start(options);
    if (!child) {
        result.output = child.error();
        return result;
    }
    const auto status = child->wait(timeout);
    result.output = child->log();
    if (!status) {
        child->stop();
        result.output += "\n(timed out)";
        return result;
    }
    result.exitCode = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    return result;
}

} // namespace kiv
