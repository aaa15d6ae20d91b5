#include "SwayLeftovers.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fmt/format.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "LiveProcess.hpp"

namespace kiv::sway {

namespace {

constexpr const char* kPrefix = "kivdisplay-";
constexpr const char* kSuffix = ".outputs";
constexpr int kParkedSize = 16;
// Far enough that no pointer motion jumps the gap, near enough for X11 clients' 16-bit coordinates.
constexpr int kParkGap = 2048;
constexpr int kMaxPosition = 32767 - kParkedSize;

using Entries = std::map<std::string, long>; // output → owner pid

Entries parse(const std::string& text) {
    Entries entries;
    std::istringstream lines(text);
    std::string output;
    long pid = 0;
    while (lines >> output >> pid)
        if (entries.size() < 256) entries[output] = pid;
    return entries;
}

// A string inside double quotes of a sway command.
std::string inQuotes(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string regexEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

struct Workspace {
    std::string name, output;
    bool focused = false;
};

std::vector<Workspace> workspaces(SwayIpc& ipc) {
    std::vector<Workspace> list;
    const auto reply = ipc.request(SwayIpc::Type::workspaces, {});
    if (!reply) return list;
    const auto json = nlohmann::json::parse(*reply, nullptr, false);
    if (!json.is_array()) return list;
    for (const auto& w : json) {
        if (!w.is_object() || !w.contains("name") || !w["name"].is_string() || !w.contains("output") ||
            !w["output"].is_string())
            continue;
        list.push_back(
            {w["name"].get<std::string>(), w["output"].get<std::string>(), w.value("focused", false) == true});
    }
    return list;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::ranges::find(names, name) != names.end();
}

} // namespace

OutputLedger::OutputLedger(const std::string& socket, const std::string& runtimeDir) {
    if (socket.empty()) return;
    std::filesystem::path folder = runtimeDir;
    if (folder.empty())
        if (const char* env = std::getenv("XDG_RUNTIME_DIR"); env != nullptr && *env != '\0') folder = env;
    if (folder.empty()) folder = std::filesystem::path(socket).parent_path();
    besideSockets_ = folder == std::filesystem::path(socket).parent_path();
    file_ = folder / (kPrefix + std::filesystem::path(socket).filename().string() + kSuffix);
}

// Read, changed and written under a lock: the next host and a dead host's guard may meet here.
template <class Change>
void OutputLedger::update(Change&& change) const {
    if (file_.empty()) return;
    const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX) == 0) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < 65536;)
            text.append(buffer, static_cast<std::size_t>(n));
        auto entries = parse(text);
        change(entries);
        std::string out;
        for (const auto& [output, pid] : entries)
            out += fmt::format("{} {}\n", output, pid);
        // A ledger not written costs a leftover the next host does not know of, nothing more.
        const bool written =
            ::ftruncate(fd, 0) == 0 && ::pwrite(fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size());
        static_cast<void>(written);
    }
    ::close(fd);
}

void OutputLedger::own(const std::string& output) const {
    update([&](Entries& entries) { entries[output] = ::getpid(); });
}

void OutputLedger::release(const std::string& output) const {
    update([&](Entries& entries) { entries.erase(output); });
}

void OutputLedger::free(const std::string& output) const {
    update([&](Entries& entries) { entries[output] = 0; });
}

OutputLedger::Taken OutputLedger::take() const {
    Taken taken;
    update([&](Entries& entries) {
        for (auto& [output, pid] : entries) {
            if (pid != 0 && liveProcess(pid)) continue;
            (pid == 0 ? taken.parked : taken.left).push_back(output);
            pid = ::getpid();
        }
    });
    return taken;
}

void OutputLedger::removeStale() const {
    if (!besideSockets_) return; // whether a compositor is gone shows only where its socket was
    std::error_code error;
    const auto folder = file_.parent_path();
    for (auto it = std::filesystem::directory_iterator(folder, error); !error && it != std::filesystem::end(it);
         it.increment(error)) {
        const auto name = it->path().filename().string();
        if (!name.starts_with(std::string(kPrefix) + "sway-ipc.") || !name.ends_with(kSuffix) || it->path() == file_)
            continue;
        const auto socket =
            name.substr(std::string_view(kPrefix).size(),
                        name.size() - std::string_view(kPrefix).size() - std::string_view(kSuffix).size());
        std::error_code missing;
        if (!std::filesystem::exists(folder / socket, missing)) std::filesystem::remove(it->path(), missing);
    }
}

std::string parkedWorkspace(const std::string& output) {
    return "kivdisplay-" + output;
}

bool park(SwayIpc& ipc, const std::string& output, const std::vector<SwayOutput>& outputs,
          const std::vector<std::string>& ours, const std::vector<std::string>& parked) {
    const SwayOutput* home = nullptr;
    int right = 0, bottom = 0;
    for (const auto& o : outputs) {
        if (!o.active || o.name == output || contains(parked, o.name)) continue;
        right = std::max(right, o.x + o.width);
        bottom = std::max(bottom, o.y + o.height);
        if (!contains(ours, o.name) && (!home || std::pair{o.x, o.y} < std::pair{home->x, home->y})) home = &o;
    }
    // Windows on its workspaces come back to the user's screen, where focus stays.
    const auto before = workspaces(ipc);
    std::string focused;
    for (const auto& w : before)
        if (w.focused && w.output != output) focused = w.name;
    if (home)
        for (const auto& w : before)
            if (w.output == output && w.name != parkedWorkspace(output))
                static_cast<void>(
                    ipc.command(fmt::format("[workspace={}] move workspace to output {}",
                                            inQuotes("^" + regexEscaped(w.name) + "$"), inQuotes(home->name))));
    if (!focused.empty()) static_cast<void>(ipc.command("workspace --no-auto-back-and-forth " + inQuotes(focused)));
    // The workspace an output always has: not "4", which the user's keys would go to.
    for (const auto& w : workspaces(ipc))
        if (w.output == output && w.name != parkedWorkspace(output))
            static_cast<void>(ipc.command(
                fmt::format("rename workspace {} to {}", inQuotes(w.name), inQuotes(parkedWorkspace(output)))));
    const int x = std::min(right + kParkGap, kMaxPosition), y = std::min(bottom + kParkGap, kMaxPosition);
    return static_cast<bool>(ipc.command(
        fmt::format("output {} enable mode {}x{}@60Hz pos {} {} scale 1", output, kParkedSize, kParkedSize, x, y)));
}

void unpark(SwayIpc& ipc, const std::string& output) {
    const auto list = workspaces(ipc);
    const auto taken = [&](int number) {
        return std::ranges::any_of(list, [&](const Workspace& w) { return w.name == std::to_string(number); });
    };
    int free = 1;
    while (taken(free) && free < INT_MAX)
        ++free;
    for (const auto& w : list)
        if (w.output == output && w.name == parkedWorkspace(output))
            static_cast<void>(ipc.command(fmt::format("rename workspace {} to {}", inQuotes(w.name), free)));
}

} // namespace kiv::sway
