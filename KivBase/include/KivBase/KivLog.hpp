#pragma once
// Logging: one named logger per component, writing to syslog and to a bounded in-memory store
// that can mirror to stdout and persist this run to "current.log" (keeping the runs before).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv {

enum class LogLevel { debug = 0, info = 1, warn = 2, error = 3 };
std::string_view label(LogLevel level); // "DEBUG", "INFO", "WARN", "ERROR"
std::optional<LogLevel> logLevelFromValue(int value);

struct LogEntry {
    std::chrono::system_clock::time_point date;
    std::string module;
    LogLevel level = LogLevel::info;
    std::string message;
    std::string line; // "[HH:mm:ss.SSS][module][LABEL] message"
};

class KivLogStore {
public:
    static constexpr std::size_t kSharedCapacity = 10'000;

    // The process-wide store, created on first use.
    static KivLogStore& shared();

    explicit KivLogStore(std::size_t capacity);
    ~KivLogStore(); // finishes pending file writes
    KivLogStore(const KivLogStore&) = delete;
    KivLogStore& operator=(const KivLogStore&) = delete;

    // Any thread. Trims to `capacity` once more than capacity + capacity/10 entries are held.
    void append(LogLevel level, std::string_view module, std::string_view message);
    std::vector<LogEntry> entries(LogLevel minLevel) const;
    std::string text(LogLevel minLevel) const;
    void clear();

    // Moves current.log to previous.log in `directory` (earlier runs to previous-2.log …
    // previous-5.log, at most 64 MiB of them), remembers the end of the previous run and writes
    // this run's later lines to a fresh current.log. Past `maxCurrentBytes` current.log becomes
    // current-earlier.log and starts again. File errors are ignored (logging stays in memory).
    // While another run holds `directory`, nothing is turned over: this run's lines are added to
    // that run's current.log, which this run never clears.
    static constexpr std::uintmax_t kMaxCurrentBytes = 16ull << 20;
    void enablePersistence(const std::filesystem::path& directory, std::uintmax_t maxCurrentBytes = kMaxCurrentBytes);
    // Where programs keep their logs: $XDG_STATE_HOME/kivdisplay/logs (when absolute), else
    // ~/.local/state/kivdisplay/logs, else a folder in the temporary directory.
    static std::filesystem::path defaultFolder();
    std::optional<std::string> previousSessionTail(std::size_t lines) const;

    std::uint64_t version() const;
    bool mirrorToStdout() const;
    void setMirrorToStdout(bool mirror);

    // Waits until every file write queued so far has landed (shutdown, tests).
    void flush();

private:
    class FileWriter;

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
    std::uint64_t version_ = 0;
    std::shared_ptr<FileWriter> file_;
    std::optional<std::string> previousSession_;
    bool mirrorToStdout_;
};

// A component's logger. Cheap to copy.
class KivLogger {
public:
    explicit KivLogger(std::string module) : module_(std::move(module)) {}

    // Frame logging only: `build` runs (and the text goes to the system log alone) only when it is on.
    template <class Build>
    void debug(Build&& build) const {
        if (frameLogOn()) debugText(std::forward<Build>(build)());
    }
    void info(std::string_view message) const;
    void notice(std::string_view message) const { info(message); }
    void warning(std::string_view message) const;
    void error(std::string_view message) const;

    const std::string& module() const { return module_; }

private:
    static bool frameLogOn();
    void debugText(std::string_view message) const;
    std::string module_;
};

namespace KivLog {
inline constexpr std::string_view subsystem = "io.kivdisplay.host";
KivLogger logger(std::string category);

// Decided once, on first use: KIV_FRAME_LOG=1, else the stored default "KivFrameLog".
bool frameLogEnabled();
// Lets the application supply the stored defaults before the first log call.
void setStoredBoolReader(std::function<std::optional<bool>(std::string_view key)> reader);
} // namespace KivLog

// Lets `limit` messages through per window and counts the rest, so the next window can report them.
class LogThrottle {
public:
    LogThrottle(int limit, std::uint64_t windowUs) : limit_(limit), windowUs_(windowUs) {}

    // (allowed, messages suppressed in the previous window when this call opened a new one).
    std::pair<bool, int> allow(std::uint64_t nowUs);

private:
    int limit_;
    std::uint64_t windowUs_;
    std::uint64_t windowStart_ = 0;
    int count_ = 0;
    int suppressed_ = 0;
};

} // namespace kiv
