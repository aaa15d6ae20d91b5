#include "AppModel.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "KivHostCore/Service/ConfigurationResolver.hpp"
#include "PermissionCoordinator.hpp"

namespace kiv::app {

namespace {} // namespace

std::string title(AppearanceMode mode) {
    switch (mode) {
    case AppearanceMode::system: return "Match System";
    case AppearanceMode::light: return "Light";
    case AppearanceMode::dark: return "Dark";
    }
    return "Match System";
}

std::string_view toText(AppearanceMode mode) {
    switch (mode) {
    case AppearanceMode::light: return "light";
    case AppearanceMode::dark: return "dark";
    case AppearanceMode::system: break;
    }
    return "system";
}

AppearanceMode appearanceFrom(const std::optional<std::string>& stored) {
    if (stored == "light") return AppearanceMode::light;
    if (stored == "dark") return AppearanceMode::dark;
    return AppearanceMode::system;
}

AppModel::AppModel(AppEnvironment environment) : env_(std::move(environment)), defaults_(env_.platform->defaults) {
    if (!defaults_) defaults_ = std::make_shared<InMemoryKeyValueStore>();
    accessibilityGranted_ = env_.accessibilityTrusted && env_.accessibilityTrusted();
    pairing_ = std::make_shared<KeyValuePairingStore>(defaults_);
    loadSettings();
    if (auto problem = defaults_->takeProblem()) settingsProblem_ = std::move(problem);
    appearance_ = appearanceFrom(defaults_->string(kAppearance));
    if (env_.applyAppearance) env_.applyAppearance(appearance_);
    if (env_.logFolder) KivLogStore::shared().enablePersistence(*env_.logFolder);
    log_.info("App launch " + env_.version + " " + env_.systemName + " model=" + env_.model);
    startService();
    permissions_ = std::make_unique<PermissionCoordinator>(*env_.main,
                                                           PermissionProbes{env_.platform->screenRecordingGranted,
                                                                            env_.accessibilityTrusted,
                                                                            env_.platform->makeRegistrar, env_.main},
                                                           [this](bool) {
                                                               if (host_) host_->refreshPermission();
                                                               changed();
                                                           });
    if (!settings_.loopbackOnly) permissions_->triggerLocalNetwork(); // nothing to find on loopback
    permissions_->requestScreenRecording();
    if (env_.activeFirewall) firewall_ = env_.activeFirewall();
    const auto every2s = [this](auto& self) -> void {
        accessibilityTimer_ = env_.main->postAfter(std::chrono::seconds(2), [this, self] {
            refreshAccessibility();
            refreshFirewall();
            refreshAndroid();
            self(self);
        });
    };
    every2s(every2s);
}

AppModel::~AppModel() {
    alive_.reset();
    accessibilityTimer_.cancel();
    permissions_.reset();
    if (host_) host_->stop();
}

void AppModel::observe(std::function<void()> observer) {
    observers_.push_back(std::move(observer));
}

void AppModel::changed() {
    for (const auto& observer : observers_)
        observer();
}

void AppModel::persist(bool stored, const std::string& what) {
    // The choice still applies for this run; only its memory across launches is lost.
    if (stored) return;
    settingsProblem_ =
        "Could not save " + what + " (the settings file cannot be written); it applies until KivDisplay quits";
    log_.error(*settingsProblem_);
}

bool AppModel::screenCaptureGranted() const {
    return !env_.platform->screenRecordingGranted || env_.platform->screenRecordingGranted();
}

void AppModel::loadSettings() {
    settings_ = env_.baseSettings;
    if (const auto grace = defaults_->number(kGraceSeconds)) settings_.graceSeconds = *grace;
    if (const auto touch = defaults_->boolean(kTouchControl)) settings_.touchControl = *touch;
    if (const auto usb = defaults_->boolean(kUSBEnabled)) settings_.usbEnabled = *usb;
    if (const auto port = defaults_->number(kWebPort); port && *port >= 0 && *port <= 65535)
        settings_.webPort = static_cast<std::uint16_t>(*port);
    if (env_.webPortOverride) settings_.webPort = *env_.webPortOverride;
    if (const auto id = defaults_->string(kHostID); id && !id->empty()) {
        settings_.hostID = *id;
    } else {
        persist(defaults_->setString(kHostID, settings_.hostID), "the host identifier");
    }
    if (const auto data = defaults_->data(kSessionSettings)) {
        if (auto decoded = decodeSessionSettings(std::string(data->begin(), data->end())))
            settings_.session = *decoded;
        else
            log_.warning("Stored default settings ignored: " + decoded.error().message);
    }
}

SessionSettings AppModel::settingsFor(const std::string& deviceID) const {
    if (const auto all = defaults_->dictionary(kDeviceSettings)) {
        if (const auto found = all->find(deviceID); found != all->end()) {
            if (const auto* bytes = std::get_if<Bytes>(&found->second.value)) {
                if (auto decoded = decodeSessionSettings(std::string(bytes->begin(), bytes->end()))) return *decoded;
            }
        }
    }
    return settings_.session;
}

void AppModel::storeDefaultSettings(const SessionSettings& settings) {
    if (auto json = encodeSessionSettings(settings))
        persist(defaults_->setData(kSessionSettings, Bytes(json->begin(), json->end())),
                "the default display settings");
}

void AppModel::storeDeviceSettings(const std::string& deviceID, const SessionSettings& settings) {
    auto all = defaults_->dictionary(kDeviceSettings).value_or(StoredDictionary{});
    if (auto json = encodeSessionSettings(settings)) all[deviceID] = StoredValue{Bytes(json->begin(), json->end())};
    persist(defaults_->setDictionary(kDeviceSettings, std::move(all)), "the device's display settings");
}

void AppModel::startService() {
    if (host_) {
        host_->stop();
        host_.reset();
    }
    host_ = HostService::create(settings_, env_.sourceKind, pairing_, *env_.platform, *env_.main);
    host_->onStatus = [this](const HostService::Status& status) { onStatus(status); };
    host_->approvalHandler = [this](const PeerRequest& request, DisplaySession::ApprovalReply reply) {
        if (!env_.askApproval) return reply(false);
        auto shared = std::make_shared<DisplaySession::ApprovalReply>(std::move(reply));
        env_.askApproval(request, [shared](bool allowed) {
            if (*shared) std::exchange(*shared, nullptr)(allowed);
        });
    };
    host_->onDnsSdResult = [this](std::optional<std::int32_t> code) { handleDnsSdResult(code); };
    host_->onAccessibilityNeeded = [this] {
        if (permissions_) permissions_->requestAccessibility();
    };
    host_->settingsForDevice = [this](const std::string& deviceID) { return settingsFor(deviceID); };
    host_->onSettingsChanged = [this](const std::string& deviceID, const SessionSettings& settings) {
        storeDeviceSettings(deviceID, settings);
        settings_.session = settings;
        storeDefaultSettings(settings); // the last applied settings become the default of new devices
    };
    if (auto started = host_->start(); !started) {
        startError_ = "The service couldn't start: " + started.error();
        log_.error(*startError_);
    } else {
        startError_.reset();
    }
    changed();
}

void AppModel::desktopLost(const std::string& why) {
    if (host_) host_->stop();
    startError_ = why + ": every device's session was stopped.";
    log_.error(*startError_);
    changed();
}

void AppModel::quit() {
    if (host_) host_->stop();
    if (env_.terminate) env_.terminate();
}

void AppModel::onStatus(const HostService::Status& status) {
    const auto named = [](const std::vector<HostStatus>& list) {
        return std::ranges::any_of(list, [](const HostStatus& d) { return d.clientName.has_value(); });
    };
    if (!named(hostStatus_.devices) && named(status.devices) && settings_.touchControl && !accessibilityGranted_ &&
        permissions_)
        permissions_->requestAccessibility();
    hostStatus_ = status;
    devices_ = status.devices;
    const auto selected =
        std::ranges::find_if(devices_, [&](const HostStatus& d) { return d.deviceID == selectedDeviceID_; });
    if (!selectedDeviceID_ || selected == devices_.end())
        selectedDeviceID_ = devices_.empty() ? std::nullopt : devices_.front().deviceID;
    const auto now =
        std::ranges::find_if(devices_, [&](const HostStatus& d) { return d.deviceID == selectedDeviceID_; });
    status_ = now != devices_.end() ? *now : HostStatus{};
    hostService_ = status.service;
    changed();
}

void AppModel::select(const std::string& deviceID) {
    const auto found = std::ranges::find_if(devices_, [&](const HostStatus& d) { return d.deviceID == deviceID; });
    if (found == devices_.end()) return;
    selectedDeviceID_ = deviceID;
    status_ = *found;
    changed();
}

SessionSettings AppModel::currentSettings() const {
    // With no device, the pickers edit the defaults (not a blank value that would forget them).
    return selectedDeviceID_ && status_.deviceID ? status_.settings : settings_.session;
}

void AppModel::update(const std::function<void(SessionSettings&)>& change) {
    auto next = currentSettings();
    change(next);
    if (next == currentSettings()) return;
    if (selectedDeviceID_ && host_ && host_->session(*selectedDeviceID_)) {
        host_->requestSettings(*selectedDeviceID_, next); // applied, then reported through onSettingsChanged
    } else {
        settings_.session = next;
        storeDefaultSettings(next);
    }
    changed();
}

void AppModel::setDisplaySize(DisplaySize size) {
    update([&](SessionSettings& s) { s.displaySize = size; });
}
void AppModel::setQuality(QualityMode quality) {
    update([&](SessionSettings& s) { s.quality = quality; });
}
void AppModel::setAudio(AudioRoute route) {
    update([&](SessionSettings& s) { s.audio = route; });
}
void AppModel::setFPS(std::int64_t fps) {
    update([&](SessionSettings& s) { s.fps = fps; });
}
void AppModel::setStaticRefinement(bool on) {
    update([&](SessionSettings& s) { s.staticRefinement = on; });
}

void AppModel::setTouchControl(bool on) {
    settings_.touchControl = on;
    persist(defaults_->setBoolean(kTouchControl, on), "the touch setting");
    if (host_) host_->setTouchControl(on);
    if (on && !accessibilityGranted_ && permissions_) permissions_->requestAccessibility();
    changed();
}

void AppModel::setGraceSeconds(double seconds) {
    settings_.graceSeconds = seconds;
    if (host_) host_->setGraceSeconds(seconds);
    persist(defaults_->setNumber(kGraceSeconds, seconds), "the grace period");
    changed();
}

void AppModel::setUSBEnabled(bool on) {
    settings_.usbEnabled = on;
    persist(defaults_->setBoolean(kUSBEnabled, on), "the USB setting");
    log_.info(std::string("USB mode ") + (on ? "enabled" : "disabled") + ", restarting service");
    startService();
}

void AppModel::setWebPort(std::uint16_t port) {
    if (port == settings_.webPort) return;
    settings_.webPort = port;
    persist(defaults_->setNumber(kWebPort, port), "the web link's port");
    log_.info(port == 0 ? std::string("Web link disabled, restarting service")
                        : fmt::format("Web link on port {}, restarting service", port));
    startService();
}

std::optional<AppModel::WebLinkInfo> AppModel::webLink() const {
    if (!host_ || host_->webPort() == 0 || !env_.webFingerprint) return std::nullopt;
    WebLinkInfo info;
    for (const auto& address : hostStatus_.hostAddresses)
        info.urls.push_back(fmt::format("https://{}:{}/", address, host_->webPort()));
    info.fingerprint = *env_.webFingerprint;
    return info;
}

void AppModel::setAppearance(AppearanceMode mode) {
    appearance_ = mode;
    persist(defaults_->setString(kAppearance, std::string(toText(mode))), "the appearance");
    if (env_.applyAppearance) env_.applyAppearance(mode);
    changed();
}

std::optional<bool> AppModel::startsAtLogin() const {
    if (!env_.autostart) return std::nullopt;
    return env_.autostart->enabled();
}

void AppModel::setStartAtLogin(bool on) {
    if (!env_.autostart) return;
    if (auto done = env_.autostart->setEnabled(on); !done) {
        settingsProblem_ = std::string("Could not turn ") + (on ? "on" : "off") + " start at login: " + done.error();
        log_.error(*settingsProblem_);
    } else {
        log_.info(on ? "Start at login: on (" + env_.autostart->path().string() + ")" : "Start at login: off");
    }
    changed();
}

void AppModel::requestAccessibility() {
    if (permissions_) permissions_->requestAccessibility([this] { refreshAccessibility(); });
}

void AppModel::repairAccessibility() {
    // Nothing is recorded about XTEST that could go stale: look again, and say what to do if it is still missing.
    log_.notice("Repairing accessibility permission: checking the X server's XTEST extension again");
    refreshAccessibility();
    accessibilityRepairNote_ = accessibilityGranted_ ? (PermissionCoordinator::onCompositor()
                                                            ? "The compositor's virtual pointer is available again; "
                                                              "touch control works."
                                                            : "XTEST is available again; touch control works.")
                                                     : std::string(PermissionCoordinator::touchRemedy());
    if (!accessibilityGranted_ && permissions_) permissions_->openAccessibilitySettings();
    changed();
}

void AppModel::refreshAccessibility() {
    const bool trusted = env_.accessibilityTrusted && env_.accessibilityTrusted();
    if (trusted == accessibilityGranted_) return;
    log_.info(std::string("Accessibility permission changed: ") + (trusted ? "granted" : "revoked"));
    accessibilityGranted_ = trusted;
    if (host_) host_->refreshInputStatus();
    changed();
}

void AppModel::refreshFirewall() {
    // Read here, every 2 s, not on each panel refresh: the panel redraws on every status change.
    auto now = env_.activeFirewall ? env_.activeFirewall() : std::nullopt;
    if (now == firewall_) return;
    firewall_ = std::move(now);
    changed();
}

void AppModel::handleDnsSdResult(std::optional<std::int32_t> code) {
    // Any failure means the same on Linux: avahi-daemon is not there to announce this computer.
    const bool failing = code && *code != 0;
    if (failing && !dnsSdFailing_ && permissions_) {
        permissions_->openLocalNetworkSettings();
        permissions_->pollLocalNetwork([this] {
            log_.info("Local network permission granted, restarting service");
            dnsSdFailing_ = false;
            startService();
        });
    }
    dnsSdFailing_ = failing;
    changed();
}

std::vector<AppModel::NetworkProblem> AppModel::localNetworkProblems() const {
    std::vector<NetworkProblem> problems;
    if (settings_.loopbackOnly || !settings_.wifiEnabled) return problems;
    const auto control = settings_.controlPort;
    const auto video = settings_.videoPort;
    if (dnsSdFailing_)
        problems.push_back({"Devices cannot find this computer automatically: DNS-SD (avahi-daemon) does not answer "
                            "(you can still connect by entering its IP address).",
                            "Start avahi-daemon, which announces this computer on the local network: sudo systemctl "
                            "enable --now avahi-daemon (Debian/Ubuntu package: avahi-daemon). Then choose Check Again "
                            "or restart KivDisplay."});
    if (host_ && hostStatus_.service.kind != HostStatus::Service::Kind::stopped && hostStatus_.hostAddresses.empty())
        problems.push_back({"This computer has no local network address, so no device can reach it over Wi-Fi.",
                            "Connect this computer to the same Wi-Fi or wired network as the device (ip -4 addr "
                            "should show an address such as 192.168.x.x). USB keeps working."});
    if (const auto& firewall = firewall_) {
        const auto ufw = *firewall == "ufw";
        problems.push_back(
            {fmt::format("The {} firewall is on: unless it lets them in, devices cannot reach ports {} and {}.",
                         *firewall, control, video),
             ufw ? fmt::format("Allow KivDisplay's ports: sudo ufw allow {}/tcp && sudo ufw allow {}/udp && sudo ufw "
                               "allow 5353/udp (mDNS).",
                               control, video)
                 : fmt::format("Allow KivDisplay's ports: sudo firewall-cmd --permanent --add-port={}/tcp "
                               "--add-port={}/udp --add-service=mdns && sudo firewall-cmd --reload.",
                               control, video)});
    }
    return problems;
}

void AppModel::disconnect(const std::string& deviceID) {
    if (host_) host_->disconnect(deviceID);
}

void AppModel::disconnectAll() {
    if (host_) host_->disconnectAll();
}

void AppModel::unpair(const std::string& deviceID) {
    pairing_->unpair(deviceID);
    changed();
}

AppModel::ApprovalText AppModel::approvalText(const PeerRequest& request) {
    return {"“" + request.deviceName + "” wants to connect to KivDisplay",
            request.model + " · " + request.address +
                "\nOnce allowed, this device can connect directly in the future."};
}

std::optional<DisplayConfiguration> AppModel::resolveForCurrent(const SessionSettings& settings) const {
    if (!status_.clientScreen) return std::nullopt;
    const auto transport = status_.transport.value_or(TransportKind::wifi);
    const auto resolved = ConfigurationResolver::resolve(
        settings, status_.clientScreen, status_.configuration ? status_.configuration->tier : tierFor(settings.quality),
        std::nullopt, status_.clientRecommendedFPS.value_or(30), transport, status_.clientDecoderMBPerSecond);
    // As the host streams it: no larger than the desktop draws the monitor.
    if (!status_.drawnScale) return resolved;
    return ConfigurationResolver::fitToDrawnScale(resolved, *status_.drawnScale, std::nullopt, transport,
                                                  status_.clientDecoderMBPerSecond);
}

std::string AppModel::sizeTitle(DisplaySize size) const {
    auto settings = currentSettings();
    settings.displaySize = size;
    const auto resolved = resolveForCurrent(settings);
    if (resolved && resolved->limitedByMinimumDesktop.value_or(false))
        return title(size) + " (the smallest desktop allowed)";
    return title(size);
}

std::string AppModel::sizeDescription() const {
    const auto settings = currentSettings();
    const auto resolved = resolveForCurrent(settings);
    if (!resolved) return title(settings.displaySize);
    return fmt::format("{}, {}×{}", title(settings.displaySize), resolved->logicalWidth, resolved->logicalHeight);
}

std::optional<std::pair<DisplayConfiguration, DisplayConfiguration>> AppModel::reducedAt(std::int64_t fps) const {
    auto settings = currentSettings();
    settings.fps = fps;
    const auto at = resolveForCurrent(settings);
    settings.fps = 30;
    const auto at30 = resolveForCurrent(settings);
    if (!at || !at30 || at->streamWidth >= at30->streamWidth) return std::nullopt;
    return std::pair{*at, *at30};
}

std::optional<std::string> AppModel::frameRateNote() const {
    const auto reduced = reducedAt(60);
    if (!reduced) return std::nullopt;
    const auto& [at60, at30] = *reduced;
    // What the decoder reaches at the size the stream would otherwise have.
    const auto blocks = ((at30.streamWidth + 15) / 16) * ((at30.streamHeight + 15) / 16);
    const auto reaches = status_.clientDecoderMBPerSecond.value_or(0) / std::max<std::int64_t>(blocks, 1);
    const auto screen = status_.clientScreen.value_or(ScreenInfo{});
    const bool native =
        std::max(at30.streamWidth, at30.streamHeight) == std::max(screen.widthPixels, screen.heightPixels) &&
        std::min(at30.streamWidth, at30.streamHeight) == std::min(screen.widthPixels, screen.heightPixels);
    return fmt::format(
        "This device's hardware decoder reaches about {} fps at {} resolution. At 60 FPS, motion drops to "
        "about {}×{} (text slightly softer); still images are still refined at {}{}×{}. The choice is "
        "yours.",
        reaches, native ? "native" : "full", at60.streamWidth, at60.streamHeight, native ? "the native " : "",
        at30.streamWidth, at30.streamHeight);
}

bool AppModel::reducesResolution(std::int64_t fps) const {
    return reducedAt(fps).has_value();
}

std::vector<std::int64_t> AppModel::frameRates() const {
    std::vector<std::int64_t> rates;
    const bool shows120 = status_.clientRecommendedFPS.value_or(30) >= 120;
    for (const auto fps : supportedFPS)
        if (fps != 120 || shows120 || currentSettings().fps == 120) rates.push_back(fps);
    return rates;
}

} // namespace kiv::app
