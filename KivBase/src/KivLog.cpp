#include "KivBase/KivLog.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fmt/format.h>
#include <fstream>
#include <sstream>
#include <thread>

namespace kiv {

namespace {
constexpr const char* kEarlierName = "current-earlier.log";

std::string formatLine(std::chrono::system_clock::time_point date, std::string_view module, LogLevel level,
                       std::string_view message) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return fmt::format("[{:02}:{:02}:{:02}.{:03}][{}][{}] {}", local.tm_hour, local.tm_min, local.tm_sec, millis % 1000,
                       module, label(level), message);
}

// The last `count` lines of `text` (an empty line counts).
std::string lastPieces(std::string_view text, std::size_t count) {
    if (count == 0) return {};
    std::size_t start = text.size();
    for (std::size_t found = 0; found < count; ++found) {
        if (start == 0) return std::string(text);
        const auto at = text.rfind('\n', start - 1);
        if (at == std::string_view::npos) return std::string(text);
        start = at;
    }
    return std::string(text.substr(start + 1));
}

bool envEquals(const char* name, std::string_view value) {
    const char* set = std::getenv(name); // NOLINT(concurrency-mt-unsafe): the environment is only read here
    return set != nullptr && value == set;
}

void systemLog(int priority, std::string_view module, std::string_view message) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(KivLog::subsystem.data(), LOG_PID | LOG_NDELAY, LOG_USER); });
    ::syslog(priority, "[%.*s] %.*s", static_cast<int>(module.size()), module.data(), static_cast<int>(message.size()),
             message.data());
}

} // namespace

// All writes and truncations of current.log, in order, on one thread ("kiv.logstore.file"),
// so the logging thread never waits on the disk.
class KivLogStore::FileWriter {
public:
    // `lockFd`, when not -1, is this run's hold on the folder, kept as long as the file is written.
    // Without it another run holds the folder: this one adds its lines to that run's file and
    // neither clears nor restarts it.
    FileWriter(int fd, std::filesystem::path path, std::uintmax_t maxBytes, int lockFd)
        : fd_(fd), lockFd_(lockFd), path_(std::move(path)), maxBytes_(maxBytes), thread_([this] { run(); }) {}
    ~FileWriter() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        thread_.join();
        ::close(fd_);
        if (lockFd_ >= 0) ::close(lockFd_);
    }

    void write(std::string text) { push(Op{false, std::move(text)}); }
    void truncate() { push(Op{true, {}}); }

    void flush() {
        std::unique_lock lock(mutex_);
        const std::uint64_t target = queued_;
        done_.wait(lock, [&] { return written_ >= target; });
    }

private:
    struct Op {
        bool truncate;
        std::string text;
    };

    void push(Op op) {
        {
            const std::lock_guard lock(mutex_);
            ops_.push_back(std::move(op));
            ++queued_;
        }
        cv_.notify_one();
    }

    void run() {
        ::pthread_setname_np(::pthread_self(), "kiv.logstore.fi");
        std::unique_lock lock(mutex_);
        while (true) {
            cv_.wait(lock, [&] { return stopping_ || !ops_.empty(); });
            if (ops_.empty()) return; // stopping with nothing left
            Op op = std::move(ops_.front());
            ops_.pop_front();
            lock.unlock();
            perform(op);
            lock.lock();
            ++written_;
            done_.notify_all();
        }
    }

    void perform(const Op& op) {
        if (op.truncate) {
            if (lockFd_ < 0) return; // another run's file
            [[maybe_unused]] const int ignored = ::ftruncate(fd_, 0);
            bytes_ = 0;
            return;
        }
        std::size_t at = 0;
        while (at < op.text.size()) {
            const auto n = ::write(fd_, op.text.data() + at, op.text.size() - at);
            if (n <= 0) return; // errors are ignored: the store keeps working in memory
            at += static_cast<std::size_t>(n);
        }
        bytes_ += at;
        if (bytes_ >= maxBytes_ && lockFd_ >= 0) startAgain();
    }

    // A run of days must not fill the disk: past the cap the file so far becomes
    // current-earlier.log (replacing an earlier one) and current.log starts again.
    void startAgain() {
        std::error_code ignored;
        std::filesystem::rename(path_, path_.parent_path() / kEarlierName, ignored);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return; // keep writing to the renamed file rather than nowhere
        ::close(std::exchange(fd_, fd));
        bytes_ = 0;
        const std::string note = "[log continues from " + std::string(kEarlierName) + "]\n";
        [[maybe_unused]] const auto written = ::write(fd_, note.data(), note.size());
    }

    int fd_;
    const int lockFd_;
    const std::filesystem::path path_;
    const std::uintmax_t maxBytes_;
    std::uintmax_t bytes_ = 0; // written to the current file (writer thread only)
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable done_;
    std::deque<Op> ops_;
    std::uint64_t queued_ = 0;
    std::uint64_t written_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

std::string_view label(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "DEBUG";
    case LogLevel::info: return "INFO";
    case LogLevel::warn: return "WARN";
    case LogLevel::error: return "ERROR";
    }
    return "?";
}

std::optional<LogLevel> logLevelFromValue(int value) {
    if (value < 0 || value > 3) return std::nullopt;
    return static_cast<LogLevel>(value);
}

KivLogStore& KivLogStore::shared() {
    // Never destroyed: loggers may run during static destruction.
    static auto* store = new KivLogStore(kSharedCapacity);
    return *store;
}

KivLogStore::KivLogStore(std::size_t capacity)
    : capacity_(capacity), mirrorToStdout_(envEquals("KIV_LOG_STDOUT", "1")) {}

KivLogStore::~KivLogStore() = default;

void KivLogStore::append(LogLevel level, std::string_view module, std::string_view message) {
    const auto now = std::chrono::system_clock::now();
    std::string line = formatLine(now, module, level, message);
    bool mirror = false;
    std::shared_ptr<FileWriter> file;
    {
        const std::lock_guard lock(mutex_);
        entries_.push_back(LogEntry{now, std::string(module), level, std::string(message), line});
        if (entries_.size() > capacity_ + capacity_ / 10) {
            entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(capacity_));
        }
        ++version_;
        mirror = mirrorToStdout_;
        file = file_;
    }
    if (mirror) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (file) file->write(line + "\n");
}

std::vector<LogEntry> KivLogStore::entries(LogLevel minLevel) const {
    const std::lock_guard lock(mutex_);
    std::vector<LogEntry> selected;
    for (const auto& entry : entries_) {
        if (entry.level >= minLevel) selected.push_back(entry);
    }
    return selected;
}

std::string KivLogStore::text(LogLevel minLevel) const {
    std::string out;
    bool first = true;
    const std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
        if (entry.level < minLevel) continue;
        if (!first) out += '\n';
        out += entry.line;
        first = false;
    }
    return out;
}

void KivLogStore::clear() {
    std::shared_ptr<FileWriter> file;
    {
        const std::lock_guard lock(mutex_);
        entries_.clear();
        ++version_;
        file = file_;
    }
    if (file) file->truncate();
}

namespace {

// Earlier runs kept beside this one: previous.log (the last), then previous-2.log up to
// previous-<kKeptRuns>.log, the oldest going first when they would hold more than kKeptBytes.
constexpr int kKeptRuns = 5;
constexpr std::uintmax_t kKeptBytes = 64ull << 20;
// Only the end of the last run is read back, however long it ran.
constexpr std::uintmax_t kPreviousTailBytes = 1ull << 20;

std::filesystem::path keptRun(const std::filesystem::path& directory, int age) {
    return directory / (age == 1 ? std::string("previous.log") : "previous-" + std::to_string(age) + ".log");
}

void rotate(const std::filesystem::path& directory) {
    std::error_code ignored;
    std::filesystem::remove(keptRun(directory, kKeptRuns), ignored);
    for (int age = kKeptRuns - 1; age >= 1; --age)
        if (std::filesystem::exists(keptRun(directory, age), ignored))
            std::filesystem::rename(keptRun(directory, age), keptRun(directory, age + 1), ignored);
    const auto current = directory / "current.log";
    if (std::filesystem::exists(current, ignored)) std::filesystem::rename(current, keptRun(directory, 1), ignored);
    std::filesystem::remove(directory / kEarlierName, ignored);
    std::uintmax_t total = 0;
    for (int age = 1; age <= kKeptRuns; ++age) {
        const auto size = std::filesystem::file_size(keptRun(directory, age), ignored);
        if (ignored) continue;
        total += size;
        if (age > 1 && total > kKeptBytes) std::filesystem::remove(keptRun(directory, age), ignored);
    }
}

std::optional<std::string> readTail(const std::filesystem::path& file) {
    std::ifstream in{file, std::ios::binary | std::ios::ate};
    if (!in) return std::nullopt;
    const auto size = static_cast<std::uintmax_t>(in.tellg());
    if (size == 0) return std::nullopt;
    const auto from = size > kPreviousTailBytes ? size - kPreviousTailBytes : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string text(static_cast<std::size_t>(size - from), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (from > 0) // start at a whole line
        if (const auto newline = text.find('\n'); newline != std::string::npos) text.erase(0, newline + 1);
    return text;
}

} // namespace

void KivLogStore::enablePersistence(const std::filesystem::path& directory, std::uintmax_t maxCurrentBytes) {
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    const auto current = directory / "current.log";
    // Only the run holding the folder turns its files over: a second one (a second host refused
    // for a port in use, a terminal run beside the service) would otherwise move the first's
    // current.log away, and after five such starts delete it while it is still being written.
    int lockFd = ::open((directory / "run.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        lockFd = -1;
    }
    const bool holdsFolder = lockFd >= 0;
    if (holdsFolder) rotate(directory);
    std::optional<std::string> previousText = readTail(keptRun(directory, 1));
    std::shared_ptr<FileWriter> writer;
    // Appending, so that the lines of a second run go after the first's instead of over them.
    const int fd =
        ::open(current.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (holdsFolder ? O_TRUNC : 0), 0644);
    if (fd >= 0) {
        writer = std::make_shared<FileWriter>(fd, current, maxCurrentBytes, lockFd);
        if (!holdsFolder)
            writer->write(fmt::format("[process {} adds its lines here: another run holds this folder]\n", ::getpid()));
    } else if (lockFd >= 0) {
        ::close(lockFd);
    }

    std::shared_ptr<FileWriter> replaced;
    {
        const std::lock_guard lock(mutex_);
        previousSession_ = std::move(previousText);
        // What this run logged before the file existed (start-up warnings, say) goes first.
        if (writer) {
            std::string earlier;
            for (const auto& entry : entries_)
                earlier += entry.line + "\n";
            if (!earlier.empty()) writer->write(std::move(earlier));
        }
        replaced = std::exchange(file_, writer);
    }
}

std::optional<std::string> KivLogStore::previousSessionTail(std::size_t lines) const {
    const std::lock_guard lock(mutex_);
    if (!previousSession_) return std::nullopt;
    return lastPieces(*previousSession_, lines);
}

std::filesystem::path KivLogStore::defaultFolder() {
    // NOLINTBEGIN(concurrency-mt-unsafe): the environment is only read here
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::filesystem::path(state) / "kivdisplay" / "logs";
    if (const char* home = std::getenv("HOME"); home && home[0])
        return std::filesystem::path(home) / ".local/state/kivdisplay/logs";
    // NOLINTEND(concurrency-mt-unsafe)
    return std::filesystem::temp_directory_path() / "kivdisplay-logs";
}

std::uint64_t KivLogStore::version() const {
    const std::lock_guard lock(mutex_);
    return version_;
}

bool KivLogStore::mirrorToStdout() const {
    const std::lock_guard lock(mutex_);
    return mirrorToStdout_;
}

void KivLogStore::setMirrorToStdout(bool mirror) {
    const std::lock_guard lock(mutex_);
    mirrorToStdout_ = mirror;
}

void KivLogStore::flush() {
    std::shared_ptr<FileWriter> file;
    {
        const std::lock_guard lock(mutex_);
        file = file_;
    }
    if (file) file->flush();
}

namespace {
std::mutex& readerMutex() {
    static std::mutex mutex;
    return mutex;
}
std::function<std::optional<bool>(std::string_view)>& storedBoolReader() {
    static std::function<std::optional<bool>(std::string_view)> reader;
    return reader;
}
} // namespace

namespace KivLog {

KivLogger logger(std::string category) {
    return KivLogger(std::move(category));
}

void setStoredBoolReader(std::function<std::optional<bool>(std::string_view key)> reader) {
    const std::lock_guard lock(readerMutex());
    storedBoolReader() = std::move(reader);
}

bool frameLogEnabled() {
    static const bool enabled = [] {
        if (envEquals("KIV_FRAME_LOG", "1")) return true;
        std::function<std::optional<bool>(std::string_view)> reader;
        {
            const std::lock_guard lock(readerMutex());
            reader = storedBoolReader();
        }
        return reader ? reader("KivFrameLog").value_or(false) : false;
    }();
    return enabled;
}

} // namespace KivLog

bool KivLogger::frameLogOn() {
    return KivLog::frameLogEnabled();
}

void KivLogger::debugText(std::string_view message) const {
    systemLog(LOG_DEBUG, module_, message);
}

void KivLogger::info(std::string_view message) const {
    KivLogStore::shared().append(LogLevel::info, module_, message);
    systemLog(LOG_INFO, module_, message);
}

void KivLogger::warning(std::string_view message) const {
    KivLogStore::shared().append(LogLevel::warn, module_, message);
    systemLog(LOG_ERR, module_, message);
}

void KivLogger::error(std::string_view message) const {
    KivLogStore::shared().append(LogLevel::error, module_, message);
    systemLog(LOG_ERR, module_, message);
}

std::pair<bool, int> LogThrottle::allow(std::uint64_t nowUs) {
    int previous = 0;
    // A clock that went backwards also opens a new window rather than wrapping.
    if (nowUs < windowStart_ || nowUs - windowStart_ >= windowUs_) {
        previous = suppressed_;
        windowStart_ = nowUs;
        suppressed_ = 0;
        count_ = 0;
    }
    ++count_;
    if (count_ > limit_) {
        ++suppressed_;
        return {false, previous};
    }
    return {true, previous};
}

} // namespace kiv
