#pragma once
// A headless GNOME compositor (mutter) of the test's own, with what its screen casts need: a
// session bus, PipeWire and WirePlumber, all in one runtime folder. The compositor shows one
// virtual monitor of its own (the "main screen"); the host adds the others.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "KivHostCore/Linux/MutterDesktop.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"

namespace kiv::test {

class HeadlessMutter {
public:
    // `scale` > 1: the desktop's scaling factor, which the compositor gives every monitor.
    static std::expected<std::unique_ptr<HeadlessMutter>, StartError> start(const std::string& mainScreen = "1280x720",
                                                                            unsigned scale = 1) {
        for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon"})
            if (!findProgram(program))
                return std::unexpected(StartError{true, std::string(program) + " is not installed", false});
        std::unique_ptr<HeadlessMutter> mutter(new HeadlessMutter());
        if (scale > 1) {
            const auto settings = mutter->dir_.path() / "config/glib-2.0/settings";
            std::filesystem::create_directories(settings);
            std::ofstream(settings / "keyfile")
                << "[org/gnome/desktop/interface]\nscaling-factor=uint32 " << scale << "\n";
        }
        if (auto started = mutter->launch(mainScreen); !started)
            return std::unexpected(StartError{false, started.error(), false});
        return mutter;
    }
    ~HeadlessMutter() {
        mutter_.stop();
        wireplumber_.stop();
        pipewire_.stop();
        bus_.stop();
    }

    // Stops the compositor as a crash would, leaving the bus and PipeWire, and starts it again.
    std::expected<void, std::string> restartCompositor() {
        if (mutter_.pid() > 0) ::kill(mutter_.pid(), SIGKILL);
        mutter_.stop(std::chrono::milliseconds(100));
        std::filesystem::remove(dir_.path() / "wayland-0");
        std::filesystem::remove(dir_.path() / "wayland-0.lock");
        return startCompositor();
    }

    std::string busAddress() const { return "unix:path=" + (dir_.path() / "bus").string(); }
    std::string pipewireRemote() const { return (dir_.path() / "pipewire-0").string(); }
    std::string wayland() const { return (dir_.path() / "wayland-0").string(); }
    std::string folder() const { return dir_.path().string(); }
    std::string log() const { return mutter_.log(); }
    MutterDesktop::Options desktopOptions() const {
        MutterDesktop::Options options;
        options.busAddress = busAddress();
        options.pipewireRemote = pipewireRemote();
        return options;
    }

private:
    HeadlessMutter() = default;

    ProcessOptions options(std::vector<std::string> argv, const std::string& name) const {
        ProcessOptions o;
        o.argv = std::move(argv);
        const auto folder = dir_.path().string();
        o.environment = {{"XDG_RUNTIME_DIR", folder},
                         {"HOME", folder},
                         {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
                         {"PIPEWIRE_RUNTIME_DIR", folder},
                         {"WAYLAND_DISPLAY", ""},
                         {"DISPLAY", ""},
                         {"XDG_CONFIG_HOME", folder + "/config"},
                         {"XDG_STATE_HOME", folder + "/state"},
                         {"GSETTINGS_BACKEND", "keyfile"}};
        o.logFile = dir_.path().parent_path() / (dir_.path().filename().string() + "-" + name + ".log");
        return o;
    }

    std::expected<void, std::string> launch(const std::string& mainScreen) {
        const auto folder = dir_.path();
        auto bus = ChildProcess::start(options(
            {*findProgram("dbus-daemon"), "--session", "--nofork", "--nopidfile", "--address=" + busAddress()}, "bus"));
        if (!bus) return std::unexpected(bus.error());
        bus_ = std::move(*bus);
        if (!waitUntil([&] { return std::filesystem::exists(folder / "bus"); }, std::chrono::seconds(10),
                       std::chrono::milliseconds(20)))
            return std::unexpected("the session bus did not start: " + bus_.log());
        auto pipewire = ChildProcess::start(options({*findProgram("pipewire")}, "pipewire"));
        if (!pipewire) return std::unexpected(pipewire.error());
        pipewire_ = std::move(*pipewire);
        if (!waitUntil([&] { return std::filesystem::exists(folder / "pipewire-0"); }, std::chrono::seconds(10),
                       std::chrono::milliseconds(20)))
            return std::unexpected("PipeWire did not start: " + pipewire_.log());
        auto wireplumber = ChildProcess::start(options({*findProgram("wireplumber")}, "wireplumber"));
        if (!wireplumber) return std::unexpected(wireplumber.error());
        wireplumber_ = std::move(*wireplumber);
        mainScreen_ = mainScreen;
        return startCompositor();
    }

    std::expected<void, std::string> startCompositor() {
        auto mutter = ChildProcess::start(
            options({*findProgram("mutter"), "--headless", "--wayland", "--no-x11", "--virtual-monitor", mainScreen_},
                    "mutter"));
        if (!mutter) return std::unexpected(mutter.error());
        mutter_ = std::move(*mutter);
        const bool ready = waitUntil([&] { return MutterDesktop(desktopOptions()).isSupported(); },
                                     std::chrono::seconds(30), std::chrono::milliseconds(100));
        if (!ready) return std::unexpected("mutter did not start: " + mutter_.log());
        return {};
    }

    TempDir dir_{"kiv-mutter"};
    std::string mainScreen_;
    ChildProcess bus_, pipewire_, wireplumber_, mutter_;
};

} // namespace kiv::test
