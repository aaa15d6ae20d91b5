// kivdisplay-host: the host without a window, for servers, kiosks, CI and demos.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <iostream>
#include <thread>

#include "HostOptions.hpp"
#include "KivBase/BuildInfo.hpp"
#include "KivBase/KivLog.hpp"
#include "KivHostCore/Linux/HostGuard.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/LinuxPlatform.hpp"
#include "KivHostCore/Linux/PrivateXServer.hpp"
#include "KivHostCore/Metrics/FrameTrace.hpp"
#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "TerminalApprovals.hpp"

using namespace kiv;

namespace {

constexpr auto kApprovalTimeout = std::chrono::seconds(60);

// The desktop to use: the one asked for, the session's, or a server of our own for the run.
struct Desktop {
    std::string display;
    std::unique_ptr<PrivateXServer> server; // ours, for the run
};

std::expected<Desktop, std::string> openDesktop(const std::optional<std::string>& asked) {
    Desktop desktop;
    if (asked) {
        desktop.display = *asked;
        std::cout << "X server: using " << *asked << " (--display)" << std::endl;
        return desktop;
    }
    if (const char* env = std::getenv("DISPLAY"); env && *env) {
        desktop.display = env;
        std::cout << "X server: using " << env << " ($DISPLAY)" << std::endl;
        return desktop;
    }
    if (auto xorg = PrivateXServer::startXorgDummy()) {
        desktop.display = (*xorg)->display();
        desktop.server = std::move(*xorg);
        std::cout << "X server: started Xorg with the dummy driver on " << desktop.display << std::endl;
        return desktop;
    }
    auto xvfb = PrivateXServer::startXvfb();
    if (!xvfb)
        return std::unexpected("no X server: set DISPLAY or --display, or install Xvfb (" + xvfb.error().message + ")");
    desktop.display = (*xvfb)->display();
    shrinkXvfbDesktop(desktop.display, 1920, 1080);
    desktop.server = std::move(*xvfb);
    std::cout << "X server: started Xvfb on " << desktop.display << " (1920x1080 desktop)" << std::endl;
    return desktop;
}

} // namespace

int main(int argc, char** argv) {
    auto defaults = std::make_shared<JsonFileKeyValueStore>(JsonFileKeyValueStore::defaultPath("kivdisplay-host"));
    useForStoredLogSwitches(defaults);
    auto settings = HostSettings::makeDefault();
    if (auto id = defaults->string("hostID"))
        settings.hostID = *id;
    else
        defaults->setString("hostID", settings.hostID);

    auto parsed = host::parseOptions(argc, argv, settings);
    if (!parsed.options) {
        (parsed.status == 0 ? std::cout : std::cerr) << parsed.output << std::flush;
        return parsed.status;
    }
    auto options = std::move(*parsed.options);
    startHostGuard(defaults->file());

    // Signals are taken by a thread of their own, so the main loop can stop in order.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const auto backend = chooseDisplayBackend(options.backend ? displayBackendFromText(*options.backend) : std::nullopt,
                                              processEnvironment);
    if (!backend) {
        std::cerr << "kivdisplay-host: " << backend.error() << std::endl;
        return 1;
    }
    auto desktop = *backend == DisplayBackend::x11 ? openDesktop(options.display) : Desktop{};
    if (*backend == DisplayBackend::wlroots)
        std::cout << "Compositor: sway at " << processEnvironment("WAYLAND_DISPLAY").value_or("?")
                  << " (wlroots backend)" << std::endl;
    if (*backend == DisplayBackend::gnome)
        std::cout << "Compositor: GNOME (mutter) on the session bus (gnome backend)" << std::endl;
    if (!desktop) {
        std::cerr << "kivdisplay-host: " << desktop.error() << std::endl;
        return 1;
    }
    // A private X server goes with the host: nothing to take back there.
    armHostGuard(*backend == DisplayBackend::x11 && !desktop->server ? desktop->display : std::string(),
                 *backend == DisplayBackend::wlroots);
    KivLogStore::shared().enablePersistence(KivLogStore::defaultFolder());
    // Which build wrote the log, for whoever reads it later.
    KivLog::logger("Host").info(build::versionLine("kivdisplay-host", KivConstants::protocolVersion));
    if (options.frameTrace) {
        if (auto opened = FrameTrace::open(*options.frameTrace); !opened) {
            std::cerr << "kivdisplay-host: " << opened.error() << std::endl;
            return 1;
        }
    }

    MainLoop main;
    LinuxPlatformOptions platformOptions;
    platformOptions.backend = *backend;
    platformOptions.display = desktop->display;
    platformOptions.defaults = defaults;
    auto platform = LinuxPlatform::create(platformOptions, main);
    if (const auto problem = platform->displayProblem(); !problem.empty() && !options.synthetic) {
        std::cerr << "kivdisplay-host: " << problem << std::endl;
        return 1;
    }
    if (!options.synthetic && !platform->canCapture()) {
        if (*backend == DisplayBackend::x11)
            std::cerr << "kivdisplay-host: cannot read the screen of X display " << desktop->display
                      << " (is the server running and may this user connect?)" << std::endl;
        else if (*backend == DisplayBackend::gnome)
            std::cerr << "kivdisplay-host: cannot read GNOME's monitor layout (org.gnome.Mutter.DisplayConfig "
                         "does not answer on the session bus)"
                      << std::endl;
        else
            std::cerr << "kivdisplay-host: cannot copy the compositor's outputs (it offers no "
                         "zwlr_screencopy_manager_v1)"
                      << std::endl;
        return 1;
    }
    if (const auto notice = platform->displayNotice();
        !notice.empty() && options.settings.useVirtualDisplay && !options.synthetic)
        std::cout << notice << std::endl;
    auto pairing = std::make_shared<KeyValuePairingStore>(defaults);
    auto service = HostService::create(options.settings,
                                       options.synthetic ? FrameSourceKind::synthetic : FrameSourceKind::screenCapture,
                                       pairing, platform->ports(), main);
    std::unique_ptr<host::TerminalApprovals> terminal;
    if (isatty(STDIN_FILENO) != 0 && !options.approveAll)
        terminal = std::make_unique<host::TerminalApprovals>(
            main, STDIN_FILENO, kApprovalTimeout, [](const std::string& text) { std::cout << text << std::flush; });
    service->approvalHandler = [&](const PeerRequest& request, DisplaySession::ApprovalReply reply) {
        if (options.approveAll) {
            std::cout << "Approved " << request.deviceName << " (" << request.model << ") at " << request.address
                      << " (--approve-all)" << std::endl;
            return reply(true);
        }
        if (terminal)
            return terminal->ask(
                fmt::format("Allow {} ({}) at {}?", request.deviceName, request.model, request.address),
                std::move(reply));
        KivLog::logger("Service").warning("Pairing request from " + request.deviceName +
                                          " refused: no terminal to ask on and --approve-all not given");
        // Without a terminal this output is what a service's journal shows: say why and what to do.
        std::cout << "Refused " << request.deviceName << " (" << request.model << ") at " << request.address
                  << ": a new device needs approval, and there is no terminal to ask on. Run kivdisplay-host in a "
                     "terminal once to approve it, or start it with --approve-all"
                  << std::endl;
        reply(false);
    };
    service->onAccessibilityNeeded = [] {
        std::cout << "Touch input is dropped: the X server does not offer the XTEST extension (or refuses this "
                     "client). Start it with XTEST enabled (it is unless it was started with \"-extension XTEST\"); "
                     "the device still works as a display meanwhile."
                  << std::endl;
    };
    std::string lastLine;
    service->onStatus = [&](const HostService::Status& status) {
        auto line = host::statusLine(status);
        if (line == lastLine) return;
        lastLine = line;
        std::cout << line << std::endl;
    };

    int exitCode = 0;
    std::atomic<bool> stopping{false};
    // Nothing can be shown there any more: stop every session (the sound output comes back with
    // them) and end with a status a service manager restarts on.
    platform->setOnDesktopLost([&](const std::string& why) {
        if (stopping.exchange(true)) return;
        std::cerr << "kivdisplay-host: " << why << "; stopped every device's session and put the sound output back"
                  << std::endl;
        exitCode = 1;
        service->stop();
        main.stop();
    });
    main.post([&] {
        if (auto started = service->start(); !started) {
            std::cerr << "kivdisplay-host: cannot start: " << started.error() << std::endl;
            exitCode = 1;
            service->stop();
            main.stop();
            return;
        }
        std::cout << host::listeningLine(options.settings, service->controlPort(), service->videoPort()) << std::endl;
        if (service->webPort() != 0 && platform->webIdentity()) {
            const auto& addresses = service->status().hostAddresses;
            const auto urls = host::webAddresses(addresses, service->webPort());
            if (addresses.empty() && !options.settings.loopbackOnly) {
                // Telling a phone to open 127.0.0.1 would send it to itself.
                std::cout << "Web: this computer has no local network address, so no tablet or phone can reach it: "
                             "connect it to the same Wi-Fi or wired network as the device (ip -4 addr should show "
                             "an address such as 192.168.x.x). On this computer itself: "
                          << urls.front() << std::endl;
            } else {
                std::cout << host::webLines(urls, platform->webIdentity()->fingerprint);
                if (const auto code = makeQrCode(urls.front())) std::cout << qrTerminalText(*code);
            }
            std::cout << std::flush;
        } else if (options.settings.webPort != 0 && !platform->webIdentity()) {
            std::cout << "Web: no web link: " << platform->webIdentity().error() << std::endl;
        }
    });
    std::atomic<bool> signalled{false};
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        signalled = true;
        if (stopping.exchange(true)) return;
        main.post([&] {
            std::cout << "Stopping" << std::endl;
            service->stop();
            main.stop();
        });
    });
    main.run();
    stopping = true;
    if (!signalled) pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    terminal.reset();
    service.reset();
    platform.reset();
    standDownHostGuard();
    return exitCode;
}
