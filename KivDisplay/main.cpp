// kivdisplay: the desktop application. A tray icon (or a window) with the device panel, the
// Diagnostics window, and the host service of this X11 session behind them.
#include <sys/utsname.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QMessageBox>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "AppModel.hpp"
#include "Autostart.hpp"
#include "DesktopShell.hpp"
#include "KivBase/BuildInfo.hpp"
#include "KivHostCore/Audio/HostOutputMuter.hpp"
#include "KivHostCore/Linux/AndroidBridge.hpp"
#include "KivHostCore/Linux/HostGuard.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "PermissionCoordinator.hpp"
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

} // namespace

namespace {

// The firewalls a desktop Linux turns on by default, as an unprivileged user can tell: ufw's
// configuration file, firewalld's runtime folder.
std::optional<std::string> activeFirewall() {
    std::ifstream ufw("/etc/ufw/ufw.conf");
    for (std::string line; std::getline(ufw, line);)
        if (line.starts_with("ENABLED=yes")) return "ufw";
    std::error_code ignored;
    if (std::filesystem::exists("/run/firewalld/firewalld.pid", ignored) ||
        std::filesystem::exists("/var/run/firewalld.pid", ignored))
        return "firewalld";
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    HostSettings base = HostSettings::makeDefault();
    CLI::App cli{"KivDisplay: every tablet or phone that connects becomes an extra monitor of this X11 desktop.",
                 "kivdisplay"};
    cli.set_version_flag("--version", build::versionLine("kivdisplay", KivConstants::protocolVersion));
    bool loopbackOnly = false;
    cli.add_option("--control-port", base.controlPort, "TCP control port")->capture_default_str();
    cli.add_option("--video-port", base.videoPort, "UDP video port")->capture_default_str();
    std::optional<std::uint16_t> webPort;
    cli.add_option("--web-port", webPort, "HTTPS port of the web link for this run (0: off; default: Settings)");
    cli.add_flag("--loopback-only", loopbackOnly, "listen on 127.0.0.1 only; no DNS-SD");
    // --help and --version are answered before Qt, which needs a display, starts.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg != "--help" && arg != "-h" && arg != "--version") continue;
        cli.allow_extras(); // Qt's own arguments (-platform, …) are not ours to refuse here
        try {
            cli.parse(argc, argv);
        } catch (const CLI::ParseError& error) {
            return cli.exit(error);
        }
    }
    startHostGuard(JsonFileKeyValueStore::defaultPath("kivdisplay")); // before Qt starts threads
    QApplication app(argc, argv);                // takes Qt's own arguments (-platform, …) out of argv first
    QGuiApplication::setDesktopFileName(kAppID); // Wayland's app_id, the menu entry it belongs to
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return cli.exit(error);
    }
    base.loopbackOnly = loopbackOnly;
    QApplication::setApplicationName("KivDisplay");
    QApplication::setQuitOnLastWindowClosed(false); // the tray keeps it running
    const char* display = std::getenv("DISPLAY");
    // Under Wayland, DISPLAY may lead to XWayland, whose RandR cannot add a monitor: the session decides.
    const auto backend = chooseDisplayBackend(std::nullopt, processEnvironment);
    const auto fail = [](const std::string& text) {
        std::cerr << "kivdisplay: " << text << std::endl;
        if (QApplication::platformName() != "offscreen")
            QMessageBox::critical(nullptr, "KivDisplay", QString::fromStdString(text));
        return 1;
    };
    if (!backend) return fail("KivDisplay cannot run on this desktop: " + backend.error());
    if (*backend == DisplayBackend::x11 && (!display || !display[0]))
        return fail("KivDisplay needs an X11 display (DISPLAY is not set), a sway session or a GNOME session.");
    const auto desktopName = *backend == DisplayBackend::x11
                                 ? std::string(display)
                                 : processEnvironment("WAYLAND_DISPLAY").value_or("wayland");
    if (!holdDesktopInstanceLock(desktopName)) {
        const std::string text = "KivDisplay is already running on this desktop: its icon is in the system tray "
                                 "(or its panel is open).";
        std::cerr << "kivdisplay: " << text << std::endl;
        if (QApplication::platformName() != "offscreen")
            QMessageBox::information(nullptr, "KivDisplay", QString::fromStdString(text));
        return 0;
    }
    PermissionCoordinator::useDesktop(*backend == DisplayBackend::gnome     ? PermissionCoordinator::Desktop::gnome
                                      : *backend == DisplayBackend::wlroots ? PermissionCoordinator::Desktop::sway
                                                                            : PermissionCoordinator::Desktop::x11);
    QtMainExecutor main;
    LinuxPlatformOptions options;
    options.backend = *backend;
    if (*backend == DisplayBackend::x11) options.display = display;
    auto platform = LinuxPlatform::create(options, main);
    if (const auto problem = platform->displayProblem(); !problem.empty()) return fail(problem);
    useForStoredLogSwitches(platform->ports().defaults);

    DesktopShell shell;
    AppEnvironment env;
    env.main = &main;
    env.platform = &platform->ports();
    env.baseSettings = base;
    env.logFolder = KivLogStore::defaultFolder();
    env.version = std::string(build::version()) + " (" + std::string(build::commit()) + ")";
    env.systemName = systemName();
    env.model = platform->ports().machine ? platform->ports().machine->modelIdentifier() : "unknown";
    env.accessibilityTrusted = [&platform] { return platform->canInject(); };
    env.activeFirewall = activeFirewall;
    env.displayNotice = platform->displayNotice();
    if (platform->webIdentity()) env.webFingerprint = platform->webIdentity()->fingerprint;
    env.webPortOverride = webPort;
    std::error_code noSelf;
    if (const auto self = std::filesystem::read_symlink("/proc/self/exe", noSelf); !noSelf)
        env.autostart.emplace(AutostartEntry::defaultFolder(), self);
    if (auto adb = std::make_shared<AndroidBridge>(); adb->available()) {
        env.androidDevices = [adb] {
            std::vector<AndroidDeviceInfo> devices;
            for (const auto& device : adb->devices())
                devices.push_back({device.serial, device.model});
            return devices;
        };
        env.showPageOnAndroid = [adb](const std::string& serial, std::uint16_t port) {
            return adb->showPage(serial, port);
        };
    }
    armHostGuard(*backend == DisplayBackend::x11 ? desktopName : std::string(), *backend == DisplayBackend::wlroots);
    shell.prepare(env);
    AppModel model(std::move(env));
    shell.attach(model);
    // Qt ends the program itself (exit) when the X server it shows on is the one that went, often
    // before this hears of it: the speakers a device held silent are given back on the way out.
    platform->setOnDesktopLost([&model](const std::string& why) { model.desktopLost(why); });
    if (platform->ports().makeAudioDevices && platform->ports().defaults)
        restoreOutputAtExit(platform->ports().makeAudioDevices, platform->ports().defaults);
    const int status = QApplication::exec();
    if (model.host()) model.host()->stop();
    main.drain();
    disarmOutputRestoreAtExit();
    standDownHostGuard();
    return status;
}
