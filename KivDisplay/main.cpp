// kivdisplay: the desktop application. A tray icon (or a window) with the device panel, the
// Diagnostics window, and the host service of this X11 session behind them.
#include <QApplication>
#include <QMessageBox>

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "AppModel.hpp"
#include "DesktopShell.hpp"
#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "QtMainExecutor.hpp"

using namespace kiv;
using namespace kiv::app;

namespace {

std::string osRelease(const char* key) {
    std::ifstream file("/etc/os-release");
    for (std::string line; std::getline(file, line);) {
        if (!line.starts_with(std::string(key) + "=")) continue;
        auto value = line.substr(std::strlen(key) + 1);
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

std::string systemName() {
    auto name = osRelease("NAME");
    const auto version = osRelease("VERSION_ID");
    if (name.empty()) {
        utsname info{};
        return ::uname(&info) == 0 ? std::string("Linux ") + info.release : "Linux";
    }
    return version.empty() ? name : name + " " + version;
}

std::filesystem::path stateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') return std::filesystem::path(state) / "kivdisplay" / "logs";
    if (const char* home = std::getenv("HOME"); home && home[0]) return std::filesystem::path(home) / ".local/state/kivdisplay/logs";
    return std::filesystem::temp_directory_path() / "kivdisplay-logs";
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("KivDisplay");
    QApplication::setQuitOnLastWindowClosed(false); // the tray keeps it running
    const char* display = std::getenv("DISPLAY");
    if (!display || !display[0]) {
        const bool wayland = std::getenv("WAYLAND_DISPLAY") != nullptr;
        const auto text = wayland ? "KivDisplay needs an X11 session for now: the device's monitor is made with X11 RandR. Log out and "
                                    "choose the X11 (Xorg) session on the login screen, then start KivDisplay again."
                                  : "KivDisplay needs an X11 display (DISPLAY is not set).";
        std::cerr << "kivdisplay: " << text << std::endl;
        if (QApplication::platformName() != "offscreen") QMessageBox::critical(nullptr, "KivDisplay", text);
        return 1;
    }
    QtMainExecutor main;
    LinuxPlatformOptions options;
    options.display = display;
    auto platform = LinuxPlatform::create(options, main);

    DesktopShell shell;
    AppEnvironment env;
    env.main = &main;
    env.platform = &platform->ports();
    env.logFolder = stateFolder();
    env.version = std::string(KIV_VERSION) + " (1)";
    env.systemName = systemName();
    env.model = platform->ports().machine ? platform->ports().machine->modelIdentifier() : "unknown";
    env.accessibilityTrusted = [&platform] { return platform->canInject(); };
    shell.prepare(env);
    AppModel model(std::move(env));
    shell.attach(model);
    const int status = QApplication::exec();
    if (model.host()) model.host()->stop();
    main.drain();
    return status;
}
