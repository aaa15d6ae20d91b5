#include "KivHostCore/Linux/LinuxPlatform.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <xcb/xcb.h>

#include "KivHostCore/Linux/AsioNetwork.hpp"
#include "KivHostCore/Linux/DnsSdRegistrar.hpp"
#include "KivHostCore/Linux/FfmpegEncoder.hpp"
#include "KivHostCore/Linux/JsonFileKeyValueStore.hpp"
#include "KivHostCore/Linux/LinuxMachineInfo.hpp"
#include "KivHostCore/Linux/LinuxPowerEvents.hpp"
#include "KivHostCore/Linux/MutterDesktop.hpp"
#include "KivHostCore/Linux/PulseAudioDevices.hpp"
#include "KivHostCore/Linux/PulseAudioRecorder.hpp"
#include "KivHostCore/Linux/WebServer.hpp"
#include "KivHostCore/Linux/WlrEventPoster.hpp"
#include "KivHostCore/Linux/WlrScreenGrabber.hpp"
#include "KivHostCore/Linux/X11ScreenGrabber.hpp"
#include "KivHostCore/Linux/XTestEventPoster.hpp"
#include "KivHostCore/Platform/ExecutorDisplayClock.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Transport/Usbmux.hpp"
#include "ReadableWatch.hpp"
#include "VirtualDisplay/Linux/RandRVirtualDisplayAdapter.hpp"
#include "VirtualDisplay/Linux/SwayVirtualDisplayAdapter.hpp"
#include "WebPage/WebPage.hpp"

namespace kiv {

struct LinuxPlatform::Impl {
    LinuxPlatformOptions options;
    AsioNetworkFactory network;
    DaemonUsbmuxService usbmux{network};
    LinuxMachineInfo machine;
    FfmpegEncoderFactory encoders;
    std::shared_ptr<RandRVirtualDisplayAdapter> displays;    // X11
    std::shared_ptr<SwayVirtualDisplayAdapter> swayDisplays; // wlroots
    std::shared_ptr<MutterDesktop> gnome;                    // GNOME
    std::shared_ptr<EventPoster> poster;
    std::function<std::unique_ptr<ScreenGrabber>()> makeGrabber;

    std::expected<WebIdentity, std::string> web = std::unexpected(std::string());

    explicit Impl(LinuxPlatformOptions o) : options(std::move(o)), encoders(options.x264Preset) {}

    static std::string localHostName() {
        char name[256] = {};
        return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("kivdisplay");
    }

    // The page's files, and host.json naming this machine and the certificate the browser should see.
    std::expected<std::shared_ptr<StreamListener>, std::string> openWeb(const ListenerOptions& listen) const {
        WebServerOptions server;
        server.listen = listen;
        server.certificatePem = web->certificatePem;
        server.privateKeyPem = web->privateKeyPem;
        const auto info = nlohmann::json{{"hostName", localHostName()}, {"fingerprint", web->fingerprint}}.dump();
        server.assets = [info](std::string_view path) -> std::optional<WebAsset> {
            if (path == "/host.json") return WebAsset{"application/json", info};
            const auto file = WebPage::find(path);
            if (!file) return std::nullopt;
            return WebAsset{std::string(file->contentType), std::string(file->body)};
        };
        return openWebListener(std::move(server));
    }

    // Opens the screen and reads a small picture of it: what "may record the screen" means here.
    // Blocks on the X server: only for the probe's own thread and the program's start.
    std::optional<ScreenRect> probeScreen(bool grab) const {
        SerialQueue queue("kiv.capture");
        auto grabber = makeGrabber();
        std::optional<ScreenRect> rect;
        // GNOME's main screen is not one of the host's monitors, so only its place can be read.
        grab = grab && !gnome;
        queue.sync([&] {
            if (!grabber->open(queue)) return;
            rect = grabber->displayRect(std::nullopt);
            if (rect && grab) {
                PixelBuffer probe(64, 36);
                if (!grabber->grab(*rect, probe, false)) rect.reset();
            }
            grabber->close();
        });
        return rect;
    }

    // The last probe's answer, for the main and GUI threads, which ask often and must not wait on
    // the X server: a probe older than kProbeAge is redone on the probe's thread, and the answer
    // it gives is what the next caller reads.
    static constexpr auto kProbeAge = std::chrono::seconds(1);
    std::optional<ScreenRect> lastProbe() {
        const auto now = std::chrono::steady_clock::now();
        const std::lock_guard lock(probeMutex);
        if (!probing && now - probedAt >= kProbeAge) {
            probing = true;
            probeQueue.post([this] {
                auto rect = probeScreen(true);
                const std::lock_guard done(probeMutex);
                probed = rect;
                probedAt = std::chrono::steady_clock::now();
                probing = false;
            });
        }
        return probed;
    }

    // A connection of its own to the X server, read on the main queue: it ends when the server goes.
    void watchXServer(ExecutorHandle main) {
        xConnection = xcb_connect(options.display.empty() ? nullptr : options.display.c_str(), nullptr);
        if (xcb_connection_has_error(xConnection) != 0) {
            xcb_disconnect(xConnection);
            xConnection = nullptr;
            return;
        }
        xWatch = ReadableWatch::start(xcb_get_file_descriptor(xConnection), std::move(main), [this] {
            while (auto* event = xcb_poll_for_event(xConnection))
                std::free(event);
            if (xcb_connection_has_error(xConnection) == 0) return true;
            const auto name = options.display.empty() ? std::string("of this session") : options.display;
            if (onDesktopLost) onDesktopLost("The X server " + name + " went away");
            onDesktopLost = nullptr;
            return false;
        });
    }
    xcb_connection_t* xConnection = nullptr;
    std::shared_ptr<ReadableWatch> xWatch;
    std::function<void(const std::string&)> onDesktopLost; // main queue

    std::mutex probeMutex;
    std::optional<ScreenRect> probed; // guarded by probeMutex
    std::chrono::steady_clock::time_point probedAt;
    bool probing = false;
    // Declared last: goes first, finishing a probe in progress while the rest still exists.
    SerialQueue probeQueue{"kiv.probe", SerialQueue::ownThread};
};

std::unique_ptr<LinuxPlatform> LinuxPlatform::create(LinuxPlatformOptions options, Executor& main) {
    auto impl = std::make_unique<Impl>(std::move(options));
    auto mainHandle = main.handle();
    auto postToMain = [mainHandle](std::function<void()> task) { mainHandle.post(std::move(task)); };
    if (impl->options.backend == DisplayBackend::wlroots) {
        SwayVirtualDisplayAdapter::Options sway;
        sway.ipcSocket = impl->options.swaySocket;
        sway.runtimeDir = impl->options.waylandRuntimeDir;
        sway.postToMain = postToMain;
        impl->swayDisplays = std::make_shared<SwayVirtualDisplayAdapter>(std::move(sway));
        impl->poster = std::make_shared<WlrEventPoster>(impl->options.waylandDisplay);
        impl->makeGrabber = [i = impl.get()] {
            return std::make_unique<WlrScreenGrabber>(
                i->options.waylandDisplay,
                [displays = i->swayDisplays](std::uint32_t id) { return displays->outputName(id); });
        };
    } else if (impl->options.backend == DisplayBackend::gnome) {
        MutterDesktop::Options gnome;
        gnome.busAddress = impl->options.gnomeBus;
        gnome.pipewireRemote = impl->options.pipewireRemote;
        gnome.postToMain = postToMain;
        impl->gnome = std::make_shared<MutterDesktop>(std::move(gnome));
        impl->poster = impl->gnome->poster();
        impl->makeGrabber = [desktop = impl->gnome] { return desktop->makeGrabber(); };
    } else {
        impl->displays = std::make_shared<RandRVirtualDisplayAdapter>(impl->options.display, postToMain);
        impl->poster = std::make_shared<XTestEventPoster>(impl->options.display);
        impl->makeGrabber = [i = impl.get()] { return std::make_unique<X11ScreenGrabber>(i->options.display); };
        impl->watchXServer(mainHandle);
    }
    if (!impl->options.defaults)
        impl->options.defaults =
            std::make_shared<JsonFileKeyValueStore>(JsonFileKeyValueStore::defaultPath("kivdisplay"));
    std::unique_ptr<LinuxPlatform> platform(new LinuxPlatform(std::move(impl)));
    auto& p = platform->ports_;
    auto* i = platform->impl_.get();
    p.makeQueue = [](const std::string& label, bool ownThread) -> std::unique_ptr<Executor> {
        if (ownThread) return std::make_unique<SerialQueue>(label, SerialQueue::ownThread);
        return std::make_unique<SerialQueue>(label);
    };
    p.network = &i->network;
    p.usbmux = &i->usbmux;
    p.makeRegistrar = [] { return std::make_unique<DnsSdRegistrar>(); };
    p.machine = &i->machine;
    if (i->swayDisplays)
        p.displays = i->swayDisplays;
    else if (i->gnome)
        p.displays = i->gnome;
    else
        p.displays = i->displays;
    p.makeDisplayClock = [](Executor& queue) { return std::make_shared<ExecutorDisplayClock>(queue); };
    {
        const std::lock_guard lock(i->probeMutex); // the answer the first callers read
        i->probed = i->probeScreen(true);
        i->probedAt = std::chrono::steady_clock::now();
    }
    p.mainDisplayBounds = [i] { return i->lastProbe(); };
    p.makeGrabber = i->makeGrabber;
    p.encoders = &i->encoders;
    p.poster = i->poster;
    p.displayBounds = [x11 = i->displays, sway = i->swayDisplays,
                       gnome = i->gnome](std::uint32_t id) -> std::optional<Rect> {
        const auto rect = [](const auto& b) -> std::optional<Rect> {
            if (!b) return std::nullopt;
            return Rect{static_cast<double>(b->x), static_cast<double>(b->y), static_cast<double>(b->width),
                        static_cast<double>(b->height)};
        };
        if (gnome) return rect(gnome->bounds(id));
        return sway ? rect(sway->bounds(id)) : rect(x11->bounds(id));
    };
    p.wallSeconds = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    p.defaults = i->options.defaults;
    p.makeAudioDevices = [server = i->options.pulseServer](Executor& queue) -> std::shared_ptr<AudioDevices> {
        return PulseAudioDevices::create(queue, server);
    };
    p.makeAudioRecorder = [server = i->options.pulseServer]() -> std::shared_ptr<AudioRecorder> {
        PulseAudioRecorder::Options recording;
        recording.server = server;
        return PulseAudioRecorder::create(recording);
    };
    p.screenRecordingGranted = [i] { return i->lastProbe().has_value(); };
    // On a compositor, display sleep is not watched (no DPMS to poll); system sleep still is.
    LinuxPowerEvents::SleepProbe compositorAsleep;
    if (i->gnome)
        compositorAsleep = [weak = std::weak_ptr<MutterDesktop>(i->gnome)]() -> std::optional<bool> {
            const auto gnome = weak.lock();
            return gnome ? gnome->displaysAsleep() : std::nullopt;
        };
    // Display sleep: X11's DPMS, GNOME's power-save mode; sway offers nothing to follow.
    p.power = LinuxPowerEvents::create(
        i->options.backend != DisplayBackend::x11 ? std::nullopt : std::optional<std::string>(i->options.display), main,
        std::move(compositorAsleep));
    if (i->options.webLink) {
        WebIdentityRequest request;
        request.folder =
            i->options.webIdentityFolder.value_or(JsonFileKeyValueStore::defaultPath("kivdisplay").parent_path());
        request.hostName = Impl::localHostName();
        for (const auto& address : i->machine.ipv4Addresses())
            if (!address.isLoopback) request.addresses.push_back(address.address);
        i->web = loadOrCreateWebIdentity(request);
        if (i->web) p.makeWebListener = [i](const ListenerOptions& listen) { return i->openWeb(listen); };
    } else {
        i->web = std::unexpected(std::string("the web link is off"));
    }
    return platform;
}

LinuxPlatform::LinuxPlatform(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LinuxPlatform::~LinuxPlatform() {
    if (impl_->xWatch) impl_->xWatch->stop([connection = impl_->xConnection] { xcb_disconnect(connection); });
}

void LinuxPlatform::setOnDesktopLost(std::function<void(const std::string& why)> handler) {
    impl_->onDesktopLost = std::move(handler);
}

const std::expected<WebIdentity, std::string>& LinuxPlatform::webIdentity() const {
    return impl_->web;
}

bool LinuxPlatform::canCapture() const {
    return impl_->lastProbe().has_value(); // the probe made as the platform started, while fresh
}
bool LinuxPlatform::canInject() const {
    return impl_->poster->isTrusted();
}

DisplayBackend LinuxPlatform::backend() const {
    return impl_->options.backend;
}

std::string LinuxPlatform::displayProblem() const {
    if (impl_->swayDisplays) {
        if (!impl_->swayDisplays->isSupported())
            return "The host cannot make monitors on this sway: " + impl_->swayDisplays->problem() + ".";
        return {};
    }
    if (impl_->gnome) {
        if (!impl_->gnome->isSupported())
            return "The host cannot make monitors on GNOME: " + impl_->gnome->problem() + ".";
        return {};
    }
    return {}; // on X11 a server without RandR 1.5 is served by mirroring its screen
}

std::string LinuxPlatform::displayNotice() const {
    return impl_->displays ? impl_->displays->roomProblem() : std::string();
}

} // namespace kiv
