#include "KivHostCore/Linux/HostGuard.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"
#include "VirtualDisplay/Linux/SwayVirtualDisplayAdapter.hpp"

namespace kiv {

namespace {

int toGuard = -1;                // the host's end; closes with the host, however it ends
constexpr char kArmed = '+';     // a line "+DISPLAY"
constexpr char kStandDown = '-'; // a line "-"
constexpr char kSway = '~';      // a line "~": outputs of ours on the sway of $SWAYSOCK

void tell(const std::string& line) {
    // A guard that is gone must not take the host with it (SIGPIPE).
    if (toGuard < 0) return;
    [[maybe_unused]] const auto sent = ::send(toGuard, line.data(), line.size(), MSG_NOSIGNAL);
}

bool singleThreaded() {
    std::error_code error;
    int tasks = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::end(it); it.increment(error))
        ++tasks;
    return !error && tasks == 1;
}

[[noreturn]] void guard(int hostGone, const std::filesystem::path& settingsFile) {
    const pid_t host = ::getppid();
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(signal, SIG_IGN);
    ::prctl(PR_SET_NAME, "kiv-guard");
    // Nothing of the host's output is held open by the guard (a pipe read to its end would wait).
    if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(null, fd);
        ::close(null);
    }
    std::string told;
    char buffer[256];
    for (;;) {
        const auto n = ::read(hostGone, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
        if (n > 0 && told.size() < 4096) told.append(buffer, static_cast<std::size_t>(n));
    }
    // Its sockets close before it has fully ended; until then it would still count as a live
    // owner of its monitors. Once it has, this process belongs to another parent.
    for (int i = 0; i < 500 && ::getppid() == host; ++i)
        ::usleep(10'000);
    std::vector<std::string> displays;
    bool armed = false, sway = false;
    for (std::size_t start = 0, end = told.find('\n'); end != std::string::npos;
         start = end + 1, end = told.find('\n', start)) {
        const auto line = told.substr(start, end - start);
        if (line.starts_with(kStandDown)) ::_exit(0);
        if (line.starts_with(kSway)) sway = true;
        if (!line.starts_with(kArmed)) continue;
        armed = true;
        if (line.size() > 1) displays.push_back(line.substr(1));
    }
    if (!armed) ::_exit(0);
    KivLogStore::shared().clear();
    JsonFileKeyValueStore store(settingsFile);
    if (store.dictionary(std::string(kMutedDeviceKey))) {
        SerialQueue queue("kiv.guard.audio");
        if (const auto devices = PulseAudioDevices::create(queue))
            queue.sync([&] { HostOutputMuter::restoreAfterCrash(*devices, store); });
    }
    // Opening the adapter takes back what a host that is gone left there, once the server is done
    // with what the host sent.
    for (const auto& display : displays) {
        RandRVirtualDisplayAdapter::awaitClientGone(display, host, std::chrono::seconds(5));
        RandRVirtualDisplayAdapter(display, [](std::function<void()>) {});
    }
    if (sway) {
        SwayVirtualDisplayAdapter::Options options;
        options.postToMain = [](std::function<void()>) {};
        SwayVirtualDisplayAdapter{options};
    }
    // Into the log of the run that ended, where whoever looks for what happened reads.
    if (const auto lines = KivLogStore::shared().text(LogLevel::info); !lines.empty())
        std::ofstream(KivLogStore::defaultFolder() / "current.log", std::ios::app) << lines;
    ::_exit(0);
}

} // namespace

void startHostGuard(const std::filesystem::path& settingsFile) {
    if (toGuard >= 0 || !singleThreaded()) return;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[1]);
        guard(ends[0], settingsFile);
    }
    ::close(ends[0]);
    if (child < 0) {
        ::close(ends[1]);
        return;
    }
    toGuard = ends[1];
}

void armHostGuard(const std::string& x11Display, bool swayOutputs) {
    if (swayOutputs) tell(std::string(1, kSway) + "\n");
    tell(kArmed + (x11Display.find('\n') == std::string::npos ? x11Display : std::string()) + "\n");
}

void standDownHostGuard() {
    tell(std::string(1, kStandDown) + "\n");
}

} // namespace kiv
