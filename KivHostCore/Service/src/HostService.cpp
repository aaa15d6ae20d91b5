#include "KivHostCore/Service/HostService.hpp"

#include <charconv>
#include <fmt/format.h>
#include <utility>

#include "KivHostCore/Service/DeviceText.hpp"
#include "KivHostCore/Transport/ControlServer.hpp"
#include "KivHostCore/Transport/DnsSdAdvertiser.hpp"
#include "KivHostCore/Transport/DnsSdDiscovery.hpp"
#include "KivHostCore/Transport/StreamLinkTransport.hpp"
#include "KivHostCore/Transport/UDPVideoListener.hpp"
#include "KivHostCore/Transport/WebLinkServer.hpp"
#include "KivHostCore/Transport/WiFiTransport.hpp"
#include "KivProtocol/ControlFraming.hpp"
#include "KivProtocol/HostClock.hpp"
#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/Localization.hpp"

namespace kiv {

USBDeviceMonitor::Direct parseUsbDirect(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto end = std::min(text.find(':', start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    USBDeviceMonitor::Direct direct{parts.empty() ? "127.0.0.1" : parts[0], KivConstants::defaultUSBPort};
    if (parts.size() >= 2) {
        unsigned value = 0;
        const auto& p = parts[1];
        const auto [end, error] = std::from_chars(p.data(), p.data() + p.size(), value);
        if (error == std::errc{} && end == p.data() + p.size() && value <= 65535)
            direct.port = static_cast<std::uint16_t>(value);
    }
    return direct;
}

std::shared_ptr<HostService> HostService::create(HostSettings settings, FrameSourceKind sourceKind,
                                                 std::shared_ptr<PairingStore> pairing, HostPlatform& platform,
                                                 Executor& main) {
    return std::make_shared<HostService>(std::move(settings), sourceKind, std::move(pairing), platform, main);
}

HostService::HostService(HostSettings settings, FrameSourceKind sourceKind, std::shared_ptr<PairingStore> pairing,
                         HostPlatform& platform, Executor& main)
    : main_(main), platform_(platform), settings_(std::move(settings)), sourceKind_(sourceKind),
      pairing_(std::move(pairing)), muteQueue_(platform.makeQueue("kiv.audio.mute", true)),
      gate_(DisplayOperationGate::create(main)), controlQueue_(platform.makeQueue("kiv.control.links", false)),
      serverQueue_(platform.makeQueue("kiv.control", false)), udpQueue_(platform.makeQueue("kiv.udp", false)),
      usbQueue_(platform.makeQueue("kiv.usb.monitor", false)), dnsSdQueue_(platform.makeQueue("kiv.bonjour", false)),
      webQueue_(platform.makeQueue("kiv.web.links", false)) {
    if (platform.makeAudioDevices) {
        auto devices = platform.makeAudioDevices(*muteQueue_);
        auto store = platform.defaults ? platform.defaults : std::make_shared<InMemoryKeyValueStore>();
        muter_ =
            std::make_shared<MuteCoordinator>(std::make_unique<HostOutputMuter>(devices, store), *muteQueue_, main);
    }
}

HostService::~HostService() {
    if (status_.service.kind != HostStatus::Service::Kind::stopped || !sessions_.empty()) stop();
    retiring_.clear();
    // The user's output is given back before its queue goes (a queue drops what is still pending).
    if (muteQueue_) muteQueue_->sync([] {});
}

bool HostService::granted() const {
    return sourceKind_ == FrameSourceKind::synthetic ||
           (platform_.screenRecordingGranted && platform_.screenRecordingGranted());
}

HostInfo HostService::hostInfo() const {
    HostInfo info;
    info.hostID = settings_.hostID;
    info.hostName = settings_.serviceName;
    info.addresses = settings_.loopbackOnly ? std::vector<std::string>{"127.0.0.1"} : status_.hostAddresses;
    info.controlPort = controlPort();
    info.protocolVersion = KivConstants::protocolVersion;
    return info;
}

std::uint16_t HostService::controlPort() const {
    return server_ ? server_->port() : settings_.controlPort;
}
std::uint16_t HostService::videoPort() const {
    return udp_ ? udp_->port() : settings_.videoPort;
}
std::uint16_t HostService::webPort() const {
    return web_ ? web_->port() : 0;
}

std::expected<void, std::string> HostService::start() {
    if (server_ || usbMonitor_ || web_) return {};
    // A run that died while it held the output silenced left a note of what to give back; the
    // sound server is asked on the mute queue, never on this thread.
    if (muter_ && !restoredAfterCrash_) muter_->restoreAfterCrash();
    restoredAfterCrash_ = true;
    status_.permissionGranted = granted();
    if (settings_.loopbackOnly) {
        status_.hostAddresses = {"127.0.0.1"};
    } else {
        status_.hostAddresses = platform_.machine
                                    ? DnsSdDiscovery::localIPv4Addresses(platform_.machine->ipv4Addresses())
                                    : std::vector<std::string>{};
    }
    std::string usb = "usbmuxd";
    if (!settings_.usbEnabled)
        usb = "off";
    else if (settings_.usbDirect)
        usb = "direct " + *settings_.usbDirect;
    std::string addresses;
    for (const auto& a : status_.hostAddresses)
        addresses += (addresses.empty() ? "" : ",") + a;
    log_.info(fmt::format("Starting service: name={} ip={} control={} video={} usb={} virtualDisplay={} "
                          "screenRecording={} multi-device=on",
                          settings_.serviceName, addresses, settings_.controlPort, settings_.videoPort, usb,
                          settings_.useVirtualDisplay ? "true" : "false",
                          status_.permissionGranted ? "granted" : "missing"));
    if (settings_.wifiEnabled) {
        if (auto started = startWiFi(); !started) return started;
    } else {
        status_.hostAddresses.clear();
    }
    if (settings_.usbEnabled) startUSB();
    startWeb();
    status_.service = HostStatus::Service::listening();
    emit();
    return {};
}

std::expected<void, std::string> HostService::startWiFi() {
    auto udp = UDPVideoListener::create(*platform_.network, *udpQueue_, {settings_.videoPort, settings_.loopbackOnly});
    // Which port failed: the one a user changes (or the other program holding it).
    if (auto started = udp->start(); !started)
        return std::unexpected(fmt::format("UDP video port {}: {}", settings_.videoPort, started.error()));
    udp_ = udp;
    auto server = ControlServer::create(*platform_.network, *serverQueue_, *udpQueue_,
                                        {settings_.controlPort, settings_.loopbackOnly});
    server->udpListener = udp;
    server->simulatedPacketLoss = simulatedPacketLoss;
    std::weak_ptr<HostService> weak = weak_from_this();
    auto main = main_.handle();
    server->onTransport = [weak, main](std::shared_ptr<WiFiTransport> link) {
        main.post([weak, link] {
            if (auto self = weak.lock()) self->accept(link);
        });
    };
    server->onListenerFailed = [weak, main](const std::string& text) {
        main.post([weak, text] {
            auto self = weak.lock();
            if (!self) return;
            self->listenerError_ = localize("Couldn't listen for connections: ") + text;
            self->emit();
        });
    };
    if (auto started = server->start(); !started) {
        udp_->stop();
        udp_.reset();
        return std::unexpected(fmt::format("TCP control port {}: {}", settings_.controlPort, started.error()));
    }
    server_ = server;
    if (!settings_.loopbackOnly && platform_.makeRegistrar && platform_.machine) {
        registrar_ = platform_.makeRegistrar();
        advertiser_ = DnsSdDiscovery::advertiser(settings_.serviceName, server_->port(), settings_.hostID,
                                                 *platform_.machine, *registrar_, *dnsSdQueue_, main_);
        advertiser_->onResult = [weak](std::optional<std::int32_t> code) {
            if (auto self = weak.lock(); self && self->onDnsSdResult) self->onDnsSdResult(code);
        };
        advertiser_->start();
    }
    return {};
}

// A USB or web link, from its listener's queue: taken on main like any link, and told at once who
// this host is (a stream link has no DNS-SD record to read that from).
std::function<void(std::shared_ptr<HostTransport>)> HostService::streamLinkHandler() {
    return [weak = weak_from_this(), main = main_.handle()](std::shared_ptr<HostTransport> link) {
        main.post([weak, link] {
            auto self = weak.lock();
            if (!self) return;
            self->accept(link);
            link->sendControl({self->hostInfo()});
        });
    };
}

void HostService::startUSB() {
    USBDeviceMonitor::Mode mode;
    if (settings_.usbDirect) mode = parseUsbDirect(*settings_.usbDirect);
    if (!mode && !platform_.usbmux) return;
    auto monitor = USBDeviceMonitor::create(mode, KivConstants::defaultUSBPort, *platform_.usbmux, *platform_.network,
                                            *usbQueue_, main_);
    std::weak_ptr<HostService> weak = weak_from_this();
    monitor->onTransport = streamLinkHandler();
    monitor->onStatus = [weak](const std::vector<USBDeviceStatus>& devices, const std::optional<std::string>& note) {
        auto self = weak.lock();
        if (!self) return;
        self->status_.usbDevices = devices;
        self->status_.usbUnavailable = note;
        self->emit();
    };
    monitor->start();
    usbMonitor_ = monitor;
}

void HostService::startWeb() {
    if (settings_.webPort == 0 || !platform_.makeWebListener) return;
    auto listener = platform_.makeWebListener({settings_.webPort, settings_.loopbackOnly});
    if (!listener) {
        // The other links still serve: a busy web port is a notice, not a failure to start.
        log_.warning(fmt::format("Web link unavailable on port {}: {}", settings_.webPort, listener.error()));
        status_.webUnavailable =
            fmt::format("The web link cannot listen on port {}: {}", settings_.webPort, listener.error());
        return;
    }
    auto server = WebLinkServer::create(*listener, *webQueue_, *webQueue_);
    server->onTransport = streamLinkHandler();
    server->start();
    web_ = server;
}

void HostService::accept(const std::shared_ptr<HostTransport>& link) {
    const std::string id = link->id();
    pending_[id] = link;
    std::weak_ptr<HostService> weak = weak_from_this();
    std::weak_ptr<HostTransport> weakLink = link;
    auto main = main_.handle();
    link->setOnControl([weak, weakLink, main](const ControlMessage& message) {
        if (answerPing(weakLink, message)) return;
        const auto* hello = message.get<Hello>();
        if (!hello) return;
        main.post([weak, weakLink, hello = *hello] {
            auto self = weak.lock();
            auto l = weakLink.lock();
            if (self && l) self->route(hello, l);
        });
    });
    link->setOnClosed([weak, id, main](const std::string&) {
        main.post([weak, id] {
            if (auto self = weak.lock()) {
                self->pending_.erase(id);
                self->helloTimers_.erase(id);
            }
        });
    });
    link->start(*controlQueue_);
    helloTimers_[id] = main_.postAfter(kHelloTimeout, [weak, weakLink, id] {
        auto self = weak.lock();
        auto l = weakLink.lock();
        if (!self || !l) return;
        self->helloTimers_.erase(id);
        if (self->pending_.erase(id) == 0) return;
        self->log_.info("Closing link without HELLO from " + l->remoteAddress());
        l->close();
    });
}

void HostService::route(const Hello& received, const std::shared_ptr<HostTransport>& link) {
    if (pending_.erase(link->id()) == 0) return;
    const Hello hello = tidyHello(received);
    helloTimers_.erase(link->id());
    if (!link->isOpen()) return;
    auto it = sessions_.find(hello.deviceID);
    if (it == sessions_.end() && std::cmp_greater_equal(sessions_.size(), settings_.maxDevices)) {
        // Each device holds a monitor and an encoder: past the cap, a new one waits its turn.
        if (const auto line =
                refusals_.note("devices", link->remoteAddress(), main_.now(),
                               fmt::format("Turned away {} at {}: {} devices are served at once, the most allowed",
                                           hello.deviceName, link->remoteAddress(), sessions_.size())))
            log_.warning(*line);
        link->close(ControlMessage{RejectReason::busy});
        return;
    }
    auto session = it != sessions_.end() ? it->second : makeSession(hello);
    session->wire(link);
    session->addOpenChannel(link);
    session->handleHello(hello, link);
    emit();
}

std::shared_ptr<DisplaySession> HostService::makeSession(const Hello& hello) {
    auto settings = settings_;
    settings.controlPort = controlPort(); // what the listeners bound, when the settings asked for any port
    settings.videoPort = videoPort();
    settings.session = settingsForDevice ? settingsForDevice(hello.deviceID) : settings_.session;
    auto session =
        DisplaySession::create(hello.deviceID, settings, sourceKind_, pairing_, muter_, gate_, platform_, main_);
    std::weak_ptr<HostService> weak = weak_from_this();
    const std::string deviceID = hello.deviceID;
    session->hostInfoProvider = [weak] {
        auto self = weak.lock();
        return self ? self->hostInfo() : HostInfo{};
    };
    session->otherActiveSessions = [weak, deviceID] {
        auto self = weak.lock();
        if (!self) return 0;
        int count = 0;
        for (const auto& [id, s] : self->sessions_)
            count += id != deviceID && s->hasActiveClient();
        return count;
    };
    session->approvalHandler = [weak](const PeerRequest& request, DisplaySession::ApprovalReply reply) {
        auto self = weak.lock();
        if (!self || !self->approvalHandler) return reply(false);
        self->ask(request, std::move(reply));
    };
    session->mayAskUser = [weak, deviceID](const std::string& deviceName, const std::string& address) {
        auto self = weak.lock();
        if (!self) return false;
        for (const auto& [id, other] : self->sessions_) {
            // Only an unanswered question: an approved device keeps that status until its monitor is made.
            if (id == deviceID || !other->awaitsApproval()) continue;
            if (const auto line = self->refusals_.note(
                    "prompt", address, self->main_.now(),
                    fmt::format("Told {} at {} to wait: the user is being asked about another device", deviceName,
                                address)))
                self->log_.info(*line);
            return false;
        }
        return true;
    };
    session->onSettingsChanged = [weak, deviceID](const SessionSettings& changed) {
        if (auto self = weak.lock(); self && self->onSettingsChanged) self->onSettingsChanged(deviceID, changed);
    };
    session->onAccessibilityNeeded = [weak] {
        if (auto self = weak.lock(); self && self->onAccessibilityNeeded) self->onAccessibilityNeeded();
    };
    sessions_[deviceID] = session;
    order_.push_back(deviceID);
    if (onSessionCreated) onSessionCreated(*session);
    session->start();
    session->onStatus = [weak, deviceID](const HostStatus&) {
        if (auto self = weak.lock()) self->sessionChanged(deviceID);
    };
    log_.info(fmt::format("New device session {} ({}), {} device(s) now", hello.deviceName, deviceID.substr(0, 8),
                          sessions_.size()));
    return session;
}

void HostService::sessionChanged(std::string deviceID) {
    auto it = sessions_.find(deviceID);
    if (it != sessions_.end() && it->second->isIdle() &&
        it->second->status().service.kind == HostStatus::Service::Kind::listening) {
        auto session = it->second;
        sessions_.erase(it);
        std::erase(order_, deviceID);
        session->onStatus = nullptr;
        session->stop();
        log_.info(fmt::format("Device session {} released, {} device(s) now", deviceID.substr(0, 8), sessions_.size()));
        // The session may be the caller: it goes on the next turn of the main loop, or with the
        // service. Nothing queued holds it, so it never outlives the queues it uses.
        retiring_.push_back(std::move(session));
        onMain([](HostService& self) { self.retiring_.clear(); });
    }
    emit();
}

std::vector<std::shared_ptr<DisplaySession>> HostService::allSessions() const {
    std::vector<std::shared_ptr<DisplaySession>> out;
    for (const auto& id : order_)
        if (auto it = sessions_.find(id); it != sessions_.end()) out.push_back(it->second);
    return out;
}

std::shared_ptr<DisplaySession> HostService::session(const std::string& deviceID) const {
    auto it = sessions_.find(deviceID);
    return it != sessions_.end() ? it->second : nullptr;
}

void HostService::emit() {
    using Kind = HostStatus::Service::Kind;
    status_.devices.clear();
    for (const auto& s : allSessions())
        status_.devices.push_back(s->status());
    const auto any = [&](Kind kind) -> const HostStatus* {
        for (const auto& d : status_.devices)
            if (d.service.kind == kind) return &d;
        return nullptr;
    };
    if (any(Kind::streaming)) {
        status_.service = HostStatus::Service::streaming();
    } else if (const auto* waiting = any(Kind::waitingForApproval)) {
        status_.service = HostStatus::Service::waitingForApproval(waiting->service.text);
    } else if (any(Kind::paused)) {
        status_.service = HostStatus::Service::paused();
    } else if (listenerError_) {
        status_.service = HostStatus::Service::error(*listenerError_);
    } else if (const auto* failed = any(Kind::error)) {
        status_.service = HostStatus::Service::error(failed->service.text);
    } else {
        status_.service = server_ || usbMonitor_ ? HostStatus::Service::listening() : HostStatus::Service::stopped();
    }
    for (const auto& d : status_.devices)
        if (!d.permissionGranted) status_.permissionGranted = false;
    if (onStatus) onStatus(status_);
}

void HostService::requestSettings(const std::string& deviceID, const SessionSettings& settings) {
    auto s = session(deviceID);
    if (!s || s->configuration().settings() == settings) return;
    s->configuration().schedule(settings, SessionConfigurationManager::Origin::local());
}

void HostService::disconnect(const std::string& deviceID) {
    if (auto s = session(deviceID)) s->disconnectClient();
}

void HostService::disconnectAll() {
    for (const auto& s : allSessions())
        if (s->hasActiveClient()) s->disconnectClient();
}

void HostService::setTouchControl(bool on) {
    settings_.touchControl = on;
    for (const auto& s : allSessions()) {
        s->setTouchControl(on);
        s->refreshInputStatus();
    }
}

void HostService::refreshInputStatus() {
    for (const auto& s : allSessions())
        s->refreshInputStatus();
}

void HostService::setGraceSeconds(double seconds) {
    settings_.graceSeconds = seconds;
    for (const auto& s : allSessions())
        s->setGraceSeconds(seconds);
}

void HostService::refreshPermission() {
    const bool now = granted();
    if (now != status_.permissionGranted)
        log_.info(std::string("Screen recording permission: ") + (now ? "granted" : "missing"));
    status_.permissionGranted = now;
    for (const auto& s : allSessions()) {
        if (s->status().permissionGranted != now)
            KivLog::logger("Session").info(std::string("Screen recording permission: ") +
                                           (now ? "granted" : "missing"));
        s->setPermissionGranted(now);
        s->publishStatus();
    }
    emit();
}

void HostService::stop() {
    log_.info(fmt::format("Stopping service ({} device session(s))", sessions_.size()));
    for (const auto& s : allSessions()) {
        s->onStatus = nullptr;
        s->stop();
    }
    sessions_.clear();
    order_.clear();
    for (auto& [id, link] : pending_)
        link->close();
    pending_.clear();
    helloTimers_.clear();
    questions_.clear();
    if (muter_) muter_->restoreAll();
    if (usbMonitor_) usbMonitor_->stop();
    usbMonitor_.reset();
    if (advertiser_) advertiser_->stop();
    advertiser_.reset();
    if (server_) server_->stop();
    server_.reset();
    if (udp_) udp_->stop();
    udp_.reset();
    if (web_) web_->stop();
    web_.reset();
    const bool permission = status_.permissionGranted;
    status_ = Status{};
    status_.permissionGranted = permission;
    listenerError_.reset();
    emit();
}

} // namespace kiv
