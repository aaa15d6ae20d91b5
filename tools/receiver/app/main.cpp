// kivdisplay-receiver: this machine as a device of a KivDisplay host. It pairs, shows the stream in
// a window (or receives headless), sends the pointer as touches, reports statistics, and can
// record the stream and a frame log.
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <fmt/format.h>
#include <fstream>
#include <iostream>
#include <regex>
#include <thread>

#include "KivBase/BuildInfo.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivReceiver/HostBrowser.hpp"
#include "ReceiverSession.hpp"
#include "ReceiverWindow.hpp"

using namespace kiv;
using namespace kiv::receiver;

namespace {

std::string machineName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "Linux receiver";
    return name;
}

// The first line of a small system file, trimmed; empty when it cannot be read.
std::string firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

// What the host shows as this device's model: the machine's product name when firmware gives one.
std::string machineModel() {
    const auto product = firstLine("/sys/devices/virtual/dmi/id/product_name");
    return product.empty() ? "Linux receiver" : product;
}

// The system's name and version ("Debian GNU/Linux 12 (bookworm)"), else the kernel's release.
std::string systemVersion() {
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);) {
        if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
        auto value = line.substr(12);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (!value.empty()) return value;
    }
    utsname info{};
    return ::uname(&info) == 0 ? std::string("Linux ") + info.release : "Linux";
}

// "WxH" or "WxH@scale".
std::optional<ScreenInfo> parseScreen(const std::string& text) {
    static const std::regex pattern(R"((\d{2,5})x(\d{2,5})(?:@(\d+(?:\.\d+)?))?)");
    std::smatch match;
    if (!std::regex_match(text, match, pattern)) return std::nullopt;
    ScreenInfo screen;
    screen.widthPixels = std::stoll(match[1]);
    screen.heightPixels = std::stoll(match[2]);
    screen.scale = match[3].matched ? std::stod(match[3]) : 1.0;
    screen.orientation = screen.heightPixels > screen.widthPixels ? Orientation::portrait : Orientation::landscape;
    if (screen.scale <= 0 || screen.scale > 4) return std::nullopt;
    return screen;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kivdisplay-receiver: this machine as an extra display of a KivDisplay host", "kivdisplay-receiver"};
    app.set_version_flag("--version", build::versionLine("kivdisplay-receiver", KivConstants::protocolVersion));
    std::string host;
    std::string screenText;
    std::string name = machineName();
    double seconds = 0;
    bool headless = false;
    bool fullscreen = false;
    int monitor = 0;
    bool printStats = false;
    std::string record;
    std::string sound;
    bool mute = false;
    std::string frameLog;
    std::string identityFile = DeviceIdentity::defaultPath().string();
    int usbPort = 0;
    bool softwareOnly = false;
    std::string decoderLimit;
    app.add_option("--host", host, "host address[:port] (default: the host found by DNS-SD)");
    app.add_option("--screen", screenText,
                   "the screen to offer, WxH[@scale] (default: the window's monitor, else 1920x1080)");
    app.add_option("--name", name, "the name the host shows for this device")->capture_default_str();
    app.add_option("--seconds", seconds, "stop after this many seconds (0: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--headless", headless, "no window: receive, report and record only");
    app.add_flag("--fullscreen", fullscreen, "fill the monitor");
    app.add_option("--monitor", monitor, "which monitor the window opens on (0 = the first)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--stats", printStats, "print the figures once a second");
    app.add_option("--sound", sound,
                   "ask the host for its sound: device (here only), both (here and there), host (there only)")
        ->check(CLI::IsMember({"device", "both", "host"}));
    std::string fps;
    app.add_option("--fps", fps,
                   "ask the host for this frame rate once connected, as a device's settings do: 60 (smoother, about "
                   "twice the bandwidth and the host's encoding work; the first choice over USB), 30 (the "
                   "automatic rate on Wi-Fi) or 120 (when this monitor shows 120 Hz); without it the host's "
                   "default applies")
        ->check(CLI::IsMember({"30", "60", "120"}));
    app.add_flag("--mute", mute, "do not play the host's sound here");
    app.add_option("--record", record, "write the received stream to FILE (H.264 Annex B)");
    app.add_option("--frame-log", frameLog, "write one line per received frame to FILE");
    app.add_option("--usb-direct-port", usbPort,
                   "also serve the device side of a USB link on this loopback port, for a host started with "
                   "--usb-direct 127.0.0.1:PORT (the U key or SIGUSR1 drops that link as a pulled cable would)")
        ->check(CLI::Range(1, 65535));
    app.add_flag("--software-decoding", softwareOnly, "do not try hardware decoding (VAAPI)");
    app.add_option("--decoder-limit", decoderLimit,
                   "the largest stream to accept, LONGxSHORT (a weaker device's decoder)");
    app.add_option("--identity", identityFile, "where this device keeps its identifier and pairings")
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    auto screen = parseScreen(screenText.empty() ? "1920x1080" : screenText);
    if (!screen) {
        std::cerr << "kivdisplay-receiver: --screen wants WxH or WxH@scale, not \"" << screenText << "\"" << std::endl;
        return 2;
    }

    SessionOptions options;
    options.hardwareDecoding = !softwareOnly;
    if (!decoderLimit.empty()) {
        const auto limit = parseScreen(decoderLimit);
        if (!limit || limit->scale != 1.0) {
            std::cerr << "kivdisplay-receiver: --decoder-limit wants LONGxSHORT, not \"" << decoderLimit << "\""
                      << std::endl;
            return 2;
        }
        options.decoderLimit = std::pair{static_cast<int>(std::max(limit->widthPixels, limit->heightPixels)),
                                         static_cast<int>(std::min(limit->widthPixels, limit->heightPixels))};
    }
    if (usbPort > 0) options.usbPort = static_cast<std::uint16_t>(usbPort);
    if (host.empty() && options.usbPort) {
        options.wifi = false; // USB only: the host comes to us
    } else if (host.empty()) {
        std::cout << "Looking for hosts…" << std::endl;
        auto found = browseHosts(std::chrono::seconds(3));
        if (!found || found->empty()) {
            std::cerr << "kivdisplay-receiver: no host found" << (found ? "" : " (" + found.error() + ")")
                      << "; name one with --host ADDRESS[:PORT]" << std::endl;
            return 1;
        }
        std::size_t pick = 0;
        if (found->size() > 1) {
            for (std::size_t i = 0; i < found->size(); ++i)
                std::cout << fmt::format("  {}. {} ({}:{})", i + 1, (*found)[i].name, (*found)[i].hostTarget,
                                         (*found)[i].port)
                          << std::endl;
            if (!isatty(STDIN_FILENO)) {
                std::cerr << "kivdisplay-receiver: several hosts found; name one with --host" << std::endl;
                return 1;
            }
            std::cout << "Which one? " << std::flush;
            std::string answer;
            std::getline(std::cin, answer);
            pick = static_cast<std::size_t>(std::max(1L, std::strtol(answer.c_str(), nullptr, 10))) - 1;
            if (pick >= found->size()) return 1;
        }
        const auto& chosen = (*found)[pick];
        options.host = chosen.txt.contains("ip") ? chosen.txt.at("ip") : chosen.hostTarget;
        options.port = chosen.port;
        if (chosen.txt.contains("id")) options.hostID = chosen.txt.at("id");
    } else {
        const auto colon = host.rfind(':');
        options.host = host.substr(0, colon);
        if (colon != std::string::npos) {
            const auto port = std::strtol(host.c_str() + colon + 1, nullptr, 10);
            if (port < 1 || port > 65535) {
                std::cerr << "kivdisplay-receiver: bad port in --host " << host << std::endl;
                return 2;
            }
            options.port = static_cast<std::uint16_t>(port);
        }
    }
    options.hello.deviceName = name;
    options.hello.model = machineModel();
    options.hello.systemVersion = systemVersion();
    options.hello.screen = *screen;
    options.hello.codecs = {"h264"};
    options.hello.recommendedFPS = 60;
    if (!record.empty()) options.record = record;
    if (!frameLog.empty()) options.frameLog = frameLog;
    options.printStats = printStats;
    options.playSound = !mute;
    if (!fps.empty()) options.fps = std::stoi(fps);
    if (!sound.empty())
        options.soundRoute = sound == "device" ? AudioRoute::device
                             : sound == "both" ? AudioRoute::both
                                               : AudioRoute::host;

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // The window first: the screen and rate offered to the host are its monitor's.
    std::unique_ptr<ReceiverWindow> window;
    if (!headless) {
        auto opened = ReceiverWindow::open({.title = "KivDisplay · " + options.host,
                                            .width = 1280,
                                            .height = 800,
                                            .fullscreen = fullscreen,
                                            .monitor = monitor});
        if (opened) {
            window = std::move(*opened);
            const auto shown = window->monitor();
            if (screenText.empty() && shown.width > 0 && shown.height > 0) {
                options.hello.screen.widthPixels = shown.width;
                options.hello.screen.heightPixels = shown.height;
                options.hello.screen.orientation =
                    shown.height > shown.width ? Orientation::portrait : Orientation::landscape;
            }
            if (shown.refreshHz > 0) options.hello.recommendedFPS = std::clamp(shown.refreshHz, 30, 120);
        } else {
            std::cerr << "kivdisplay-receiver: " << opened.error() << "; receiving headless" << std::endl;
        }
    }

    DeviceIdentity identity(identityFile);
    if (identity.loadProblem()) std::cerr << "kivdisplay-receiver: " << *identity.loadProblem() << std::endl;
    // What the decoder manages is measured once and kept: the host sizes the stream by it.
    if (!identity.decoderMBPerSecond()) {
        if (const auto rate = measureDecoderMBPerSecond()) {
            std::cout << "Decoder measured: " << *rate << " macroblocks a second (once; kept in " << identityFile << ")"
                      << std::endl;
            if (auto saved = identity.setDecoderMBPerSecond(*rate); !saved)
                std::cerr << "kivdisplay-receiver: " << saved.error() << std::endl;
        }
    }
    options.hello.decoderMBPerSecond = identity.decoderMBPerSecond();
    ReceiverSession receiver(options, identity);
    std::cout << "Decoding H.264 with " << receiver.decoderBackend() << std::endl;
    if (window) {
        window->onInput = [&](const InputEvent& event) { receiver.sendInput(event); };
        window->onKey = [&](const std::string& key) {
            if (key == "U") receiver.dropUsbLink();
        };
    }
    const auto idle = [&]() -> bool {
        if (!window->pump()) return false;
        window->setNotice(receiver.linkNotice());
        if (window->overlayShown()) window->setOverlay(receiver.overlayLines());
        if (const auto picture = receiver.takePicture()) window->show(*picture);
        return true;
    };
    // SIGUSR1 drops the USB link as the U key does, for a run without a window.
    std::thread waiter([&] {
        for (int signal = 0; sigwait(&signals, &signal) == 0;) {
            if (signal != SIGUSR1) break;
            receiver.dropUsbLink();
        }
        receiver.stop();
    });
    const auto until =
        seconds > 0
            ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds))
            : std::chrono::steady_clock::duration::max() / 2;
    const auto outcome = window ? receiver.run(until, idle) : receiver.run(until);
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    if (!outcome.message.empty()) (outcome.exitStatus == 0 ? std::cout : std::cerr) << outcome.message << std::endl;
    std::cout << receiver.summaryJSON() << std::endl;
    return outcome.exitStatus;
}
