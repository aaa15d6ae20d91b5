#include "KivHostCore/Linux/SoundGuard.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"

namespace kiv {

namespace {

bool singleThreaded() {
    std::error_code error;
    int tasks = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
         !error && it != std::filesystem::end(it); it.increment(error))
        ++tasks;
    return !error && tasks == 1;
}

[[noreturn]] void guard(int hostGone, const std::filesystem::path& settingsFile) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(signal, SIG_IGN);
    ::prctl(PR_SET_NAME, "kiv-sound-guard");
    // Nothing of the host's output is held open by the guard (a pipe read to its end would wait).
    if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
            ::dup2(null, fd);
        ::close(null);
    }
    char byte = 0;
    while (::read(hostGone, &byte, 1) < 0 && errno == EINTR) {
    }
    JsonFileKeyValueStore store(settingsFile);
    if (!store.dictionary(std::string(kMutedDeviceKey))) ::_exit(0); // given back by the host itself
    KivLogStore::shared().clear();
    {
        SerialQueue queue("kiv.guard.audio");
        if (const auto devices = PulseAudioDevices::create(queue))
            queue.sync([&] { HostOutputMuter::restoreAfterCrash(*devices, store); });
    }
    // Into the log of the run that ended, where whoever looks for what happened reads.
    std::ofstream(KivLogStore::defaultFolder() / "current.log", std::ios::app)
        << KivLogStore::shared().text(LogLevel::info);
    ::_exit(0);
}

} // namespace

void startSoundGuard(const std::filesystem::path& settingsFile) {
    if (!singleThreaded()) return;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[1]);
        guard(ends[0], settingsFile);
    }
    ::close(ends[0]);
    // The write end stays open for the host's life (and closes with it, however it ends).
    if (child < 0) ::close(ends[1]);
}

} // namespace kiv
