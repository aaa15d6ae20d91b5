#include "ReceiverSession.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <iostream>

#include "KivProtocol/H264Bitstream.hpp"
#include "KivProtocol/HostClock.hpp"

namespace kiv::receiver {

ReceiverSession::ReceiverSession(SessionOptions options, DeviceIdentity& identity)
    : options_(std::move(options)), identity_(identity),
      decoder_(
          {{options_.hardwareDecoding, options_.decoderLimit}, options_.record, options_.frameLog},
          [this](const ControlMessage& message) { sendControl(message); },
          [this](const std::string& line) { say(line); }) {
    options_.hello.deviceID = identity_.deviceID();
    decodeQueue_ = std::make_unique<DecodeQueue>([this](const QueuedFrame& f) { frame(f); });
    if (options_.playSound) {
        if (auto opened = AudioPlayer::open())
            player_ = std::move(*opened);
        else
            say(opened.error() + "; the host's sound will not play here");
    }
}

ReceiverSession::~ReceiverSession() {
    if (const auto client = current()) client->stop();
    decodeQueue_.reset(); // no link delivers any more
}

std::string ReceiverSession::address() const {
    return options_.host + ":" + std::to_string(options_.port);
}

void ReceiverSession::say(const std::string& line) {
    if (onLine)
        onLine(line);
    else
        std::cout << line << std::endl;
}

RunOutcome ReceiverSession::rejected(RejectReason reason, const std::string& hostName) {
    const auto status = 10 + static_cast<int>(reason);
    switch (reason) {
    case RejectReason::denied: return {status, hostName + " refused this device."};
    case RejectReason::busy:
        return {status,
                hostName +
                    " cannot take this device yet (it is asking its user about another device, or already serves "
                    "as many as it may); trying again shortly."};
    case RejectReason::versionMismatch:
        return {status, hostName + " speaks another protocol version; update the older side."};
    case RejectReason::invalidToken:
        return {status, hostName + " did not accept this device's pairing; it will ask its user again next time."};
    case RejectReason::notLocalNetwork: return {status, hostName + " only accepts devices on its local network."};
    case RejectReason::permissionMissing:
        return {status, hostName + " may not capture its screen (permission missing)."};
    case RejectReason::internalError: return {status, hostName + " could not start the stream (internal error)."};
    }
    return {status, hostName + " refused the connection."};
}

void ReceiverSession::end(RunOutcome outcome) {
    const std::lock_guard lock(mutex_);
    if (!ended_) ended_ = std::move(outcome);
    changed_.notify_all();
}

void ReceiverSession::refused(RejectReason reason) {
    bool streaming = false;
    {
        const std::lock_guard lock(mutex_);
        streaming = connect_.has_value() && !lost_;
    }
    // A refused second link (USB beside Wi-Fi) leaves the streaming one alone.
    if (streaming) return say("The host refused the other link: " + rejected(reason, options_.host).message);
    if (reason == RejectReason::busy && !options_.wifi) {
        // Over USB the host dials the device, and dials it again a moment later: keep listening.
        return say(rejected(reason, "The USB host").message);
    }
    if (reason == RejectReason::busy) {
        // The host is asking its user about another request: a moment's wait, not the end.
        {
            const std::lock_guard lock(mutex_);
            const auto wait = std::chrono::seconds(1) * (1 << std::min(turnedAway_, 3));
            ++turnedAway_;
            lost_ = "busy";
            nextReconnect_ = std::chrono::steady_clock::now() + wait;
            changed_.notify_all();
        }
        return say(rejected(reason, options_.host).message);
    }
    end(rejected(reason, options_.host));
}

void ReceiverSession::hostSaid(const ControlMessage& message) {
    if (const auto* bye = message.get<Disconnect>()) return end({0, "The host ended the session: " + bye->reason});
    const std::lock_guard lock(mutex_);
    if (const auto* info = message.get<HostInfo>())
        hostInfo_ = *info;
    else if (const auto* audio = message.get<AudioStatus>())
        audioStatus_ = *audio;
    else if (const auto* input = message.get<InputStatus>())
        inputStatus_ = *input;
}

void ReceiverSession::connected(const ConnectInfo& info, LinkKind kind) {
    bool again = false;
    bool firstWifi = false;
    {
        const std::lock_guard decoding(decodeMutex_);
        decoder_.linkConnected(static_cast<int>(info.mode.width), static_cast<int>(info.mode.height));
    }
    {
        const std::lock_guard lock(mutex_);
        again = connect_.has_value();
        firstWifi = !again && kind == LinkKind::wifi;
        connect_ = info;
        reconnecting_ = false;
        heard_ = true;
        turnedAway_ = 0;
        awaitingApproval_.reset();
        if (kind == LinkKind::usb) {
            usbActive_ = true;
            wifiLostMeanwhile_.reset();
            lastUsbFrame_.reset();
        } else {
            lastStats_ = ReceiverStats{}; // a new link counts from zero
            wifiSince_ = std::chrono::steady_clock::now();
            noVideo_.reset();
        }
        changed_.notify_all();
    }
    if (info.host) {
        const auto where = kind == LinkKind::usb && !options_.wifi ? std::string("usb") : address();
        if (auto saved = identity_.remember(info.host->hostID, info.token, where); !saved)
            say("Pairing not remembered: " + saved.error());
        // The USB side says its hello again on every new link: with the token the host gave now,
        // not the one it started with (none, for a device paired in this run).
        Hello next = options_.hello;
        next.token = info.token;
        const std::lock_guard lock(mutex_);
        if (usb_) usb_->setHello(std::move(next));
    }
    const auto over = kind == LinkKind::usb ? "USB" : "Wi-Fi";
    say(fmt::format("{} {} over {}: {}×{}@{} {:.1f} Mbit/s, session {}", again ? "Reconnected to" : "Connected to",
                    info.hostName, over, info.mode.width, info.mode.height, info.mode.fps,
                    static_cast<double>(info.bitrate) / 1e6, info.sessionID));
    // What this device asks for, once: later changes are the host user's.
    ConfigChange change;
    change.requestID = 1;
    if (options_.soundRoute && info.settings.audio != *options_.soundRoute) change.audio = options_.soundRoute;
    if (options_.fps && info.settings.fps != *options_.fps) change.fps = options_.fps;
    if (!again && (change.audio || change.fps)) sendControl({change});
    if (firstWifi && options_.usbPort) startUsb();
}

std::shared_ptr<ReceiverClient> ReceiverSession::startClient() {
    ReceiverConfig config;
    config.host = options_.host;
    config.controlPort = options_.port;
    config.hello = options_.hello;
    if (const auto hostID = options_.hostID ? options_.hostID : identity_.hostAt(address()))
        config.hello.token = identity_.token(*hostID);
    auto client = std::make_shared<ReceiverClient>(config);
    client->onAudio = [this](const StreamAudioPacket& packet) {
        if (player_) player_->push(packet);
    };
    client->onPairingPending = [this] {
        const auto line = "Waiting for approval on " + options_.host + "…";
        {
            const std::lock_guard lock(mutex_);
            awaitingApproval_ = line;
            heard_ = true;
        }
        say(line);
    };
    client->onReject = [this](RejectReason reason) { refused(reason); };
    client->onConnect = [this](const ConnectInfo& info) { connected(info, LinkKind::wifi); };
    client->onControl = [this](const ControlMessage& message) {
        {
            const std::lock_guard lock(mutex_);
            heard_ = true;
        }
        hostSaid(message);
    };
    client->onFrame = [this](const ReassembledFrame& f, std::uint64_t completedAtUs) {
        decodeQueue_->push({f.frameID, f.isKeyframe, f.captureTimeUs, f.data, f.framesLostBefore, completedAtUs});
    };
    client->onClosed = [this](const std::string& why) {
        const std::lock_guard lock(mutex_);
        // A link that was streaming is worth getting back (the host holds the session for a while);
        // one that never got that far ends the run. When USB took over, the host closed this one.
        if (stopping_ || ended_ || usbActive_) {
        } else if (usbLinkUp_ && connect_) {
            // The host closes Wi-Fi when USB takes over, which may arrive before USB's connect
            // does; reconnecting now would pull the session back. Decided when USB settles.
            wifiLostMeanwhile_ = why;
        } else if (connect_) {
            lost_ = why;
        } else if (lost_) {
            // Already waiting to try again (the host said it was busy).
        } else if (!heard_ && options_.wifi && !why.starts_with("protocol error")) {
            // Turned away before the host said a word (a host not started yet, or one that closed a
            // link it took for a silent one): try again, waiting longer each time (0.5 s up to 8 s).
            const auto wait = std::chrono::milliseconds(500) * (1 << std::min(turnedAway_, 4));
            ++turnedAway_;
            lost_ = why;
            nextReconnect_ = std::chrono::steady_clock::now() + wait;
        } else {
            ended_ = RunOutcome{2, "Connection lost: " + why};
        }
        changed_.notify_all();
    };
    client->start();
    return client;
}

void ReceiverSession::startUsb() {
    Hello hello = options_.hello;
    const auto hostID = options_.hostID ? options_.hostID : identity_.hostAt(options_.wifi ? address() : "usb");
    if (hostID) hello.token = identity_.token(*hostID);
    auto usb = std::make_unique<UsbDeviceServer>(hello, *options_.usbPort, true);
    usb->onControl = [this](const ControlMessage& message) {
        if (message.is<PairingPending>()) {
            {
                const std::lock_guard lock(mutex_);
                awaitingApproval_ = "Waiting for approval on the USB host…";
            }
            return say("Waiting for approval on the USB host…");
        }
        if (const auto* reason = message.get<RejectReason>()) return refused(*reason);
        if (const auto* info = message.get<ConnectInfo>()) return connected(*info, LinkKind::usb);
        if (const auto* pong = message.get<PongInfo>()) {
            const std::lock_guard lock(mutex_);
            usbClock_.add(pong->t0, pong->t1, pong->t2, HostClock::nowMicros());
            return;
        }
        hostSaid(message);
    };
    usb->onVideo = [this](const StreamVideoFrame& f) {
        std::int64_t lost = 0;
        {
            const std::lock_guard lock(mutex_);
            if (lastUsbFrame_ && f.frameID > *lastUsbFrame_ + 1) lost = f.frameID - *lastUsbFrame_ - 1;
            lastUsbFrame_ = f.frameID;
            ++usbFrames_;
            usbBytes_ += f.data.size();
        }
        decodeQueue_->push({f.frameID, f.isKeyframe, f.captureTimeUs, f.data, lost, HostClock::nowMicros()});
    };
    usb->onAudio = [this](const StreamAudioPacket& packet) {
        if (player_) player_->push(packet);
    };
    usb->onHostConnected = [this] {
        const std::lock_guard lock(mutex_);
        usbLinkUp_ = true;
    };
    usb->onClosed = [this](const std::string& why) {
        const std::lock_guard lock(mutex_);
        usbLinkUp_ = false;
        const bool was = std::exchange(usbActive_, false);
        auto wifiLost = std::exchange(wifiLostMeanwhile_, std::nullopt);
        if (stopping_ || ended_) return;
        if (!was) {
            // USB never took over, so the Wi-Fi link it was expected to replace is wanted back.
            if (wifiLost && options_.wifi && connect_) {
                lost_ = std::move(wifiLost);
                changed_.notify_all();
            }
            return;
        }
        // Like a pulled cable: Wi-Fi takes over within the host's hold, else the host comes back.
        if (options_.wifi)
            lost_ = "USB: " + why;
        else {
            lost_.reset();
            connect_.reset();
        }
        changed_.notify_all();
    };
    usb->start();
    say(fmt::format("Serving the USB device side on 127.0.0.1:{}", usb->port()));
    const std::lock_guard lock(mutex_);
    usb_ = std::move(usb);
}

// With no video datagram at all since the Wi-Fi link connected, what to tell the user, once; the
// notice goes when the first one arrives. TCP reached the host, so either UDP does not cross or
// the host has nothing to send (its displays asleep stop the capture).
std::optional<std::string> ReceiverSession::silentWifi(const ReceiverClient& wifi) {
    if (wifi.stats().packetsReceived > 0) {
        noVideo_.reset();
        return std::nullopt;
    }
    if (noVideo_ || !connect_ || std::chrono::steady_clock::now() - wifiSince_ < options_.noVideoAfter)
        return std::nullopt;
    noVideo_ = fmt::format("No picture over Wi-Fi yet: the host's screen may be asleep, or UDP port {} of {} "
                           "blocked (its firewall, or this network)",
                           connect_->videoPort, options_.host);
    return noVideo_;
}

std::string ReceiverSession::decoderBackend() {
    const std::lock_guard decoding(decodeMutex_);
    return decoder_.backend();
}

void ReceiverSession::sendControl(const ControlMessage& message) {
    std::shared_ptr<ReceiverClient> client;
    {
        const std::lock_guard lock(mutex_);
        if (usbActive_ && usb_) return usb_->send(message);
        client = client_;
    }
    if (client) client->send(message);
}

std::optional<std::int64_t> ReceiverSession::clockOffsetUs() const {
    std::shared_ptr<ReceiverClient> client;
    {
        const std::lock_guard lock(mutex_);
        if (usbActive_) return usbClock_.offsetUs();
        client = client_;
    }
    return client ? client->stats().clockOffsetUs : std::nullopt;
}

void ReceiverSession::dropUsbLink() {
    const std::lock_guard lock(mutex_);
    if (usb_) usb_->closeLink();
}

std::shared_ptr<ReceiverClient> ReceiverSession::current() const {
    const std::lock_guard lock(mutex_);
    return client_;
}

RunOutcome ReceiverSession::run(std::chrono::steady_clock::duration until, std::function<bool()> idle) {
    if (options_.wifi) {
        auto first = startClient();
        const std::lock_guard lock(mutex_);
        client_ = std::move(first);
    } else if (options_.usbPort) {
        startUsb();
    }
    const auto deadline = std::chrono::steady_clock::now() + until;
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    auto nextReminder = std::chrono::steady_clock::now() + kReminderInterval;
    std::unique_lock lock(mutex_);
    while (!ended_ && !stopping_ && std::chrono::steady_clock::now() < deadline) {
        const auto wake = std::min({deadline, nextTick, nextReminder});
        changed_.wait_until(lock, idle ? std::min(wake, std::chrono::steady_clock::now() + std::chrono::milliseconds(5))
                                       : wake);
        if (idle) {
            lock.unlock();
            const bool going = idle();
            lock.lock();
            if (!going) break;
        }
        if (lost_ && options_.wifi && std::chrono::steady_clock::now() >= nextReconnect_) {
            // Same identity and token: within the host's hold this is a link switch, within its
            // grace a reconnect to the display it kept.
            const auto why = *std::exchange(lost_, std::nullopt);
            reconnecting_ = true;
            auto old = client_;
            lock.unlock();
            say("Connection lost (" + why + "); reconnecting…");
            if (old) old->stop();
            auto fresh = startClient();
            lock.lock();
            client_ = std::move(fresh);
            nextReconnect_ = std::max(nextReconnect_, std::chrono::steady_clock::now() + std::chrono::seconds(1));
        }
        if (std::chrono::steady_clock::now() >= nextReminder) {
            // Only on a link the host streams on: before it said hello, or while it is being
            // reconnected, there is no one to ask (and a send would fail the link).
            const bool streaming = usbActive_ || (connect_ && !lost_ && !reconnecting_);
            const auto wifi = usbActive_ ? nullptr : client_;
            const auto silent = streaming && wifi ? silentWifi(*wifi) : std::nullopt;
            lock.unlock();
            if (silent) say(*silent);
            if (streaming) {
                // Datagrams of a frame lost on the way leave it begun and quiet; a stream (USB) loses none.
                const bool stalled = wifi && wifi->dropStalledFrame();
                const std::lock_guard decoding(decodeMutex_);
                if (stalled) decoder_.lostStalledFrame();
                decoder_.remind();
            }
            lock.lock();
            nextReminder = std::chrono::steady_clock::now() + kReminderInterval;
        }
        if (std::chrono::steady_clock::now() >= nextTick) {
            lock.unlock();
            tick();
            lock.lock();
            nextTick += std::chrono::seconds(1);
        }
    }
    stopping_ = true;
    auto client = client_;
    if (!ended_ && connect_ && !lost_) {
        // Leaving on purpose: say goodbye, so the host lets go of the display at once instead of
        // holding it for a link that will not come back. The host answers by closing the link.
        const bool overUsb = usbActive_;
        lock.unlock();
        sendControl({Disconnect{"receiver stopped"}});
        lock.lock();
        if (!overUsb) changed_.wait_for(lock, std::chrono::seconds(1), [this] { return ended_.has_value(); });
        ended_.reset();
    }
    auto outcome = ended_.value_or(RunOutcome{});
    auto usb = std::move(usb_);
    lock.unlock();
    if (usb) usb->stop(); // after its last send has been written
    if (client) client->stop();
    return outcome;
}

std::shared_ptr<const DecodedPicture> ReceiverSession::takePicture() {
    const std::lock_guard lock(mutex_);
    return std::exchange(newestPicture_, nullptr);
}

void ReceiverSession::sendInput(const InputEvent& event) {
    sendControl({event});
}

void ReceiverSession::stop() {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}

void ReceiverSession::frame(const QueuedFrame& f) {
    auto decoded = [&] {
        const std::lock_guard decoding(decodeMutex_);
        return decoder_.decode(f);
    }();
    const auto offset = clockOffsetUs();
    const std::lock_guard lock(mutex_);
    if (!decoded.picture) {
        figures_.frameFailed(f.isKeyframe);
        return;
    }
    std::optional<double> latencyMs;
    if (offset) {
        // The host's capture time on our clock (the offset is host minus ours).
        const auto captured = static_cast<std::int64_t>(f.captureTimeUs) - *offset;
        latencyMs = static_cast<double>(static_cast<std::int64_t>(decoded.decodedAtUs) - captured) / 1000.0;
    }
    figures_.frameDecoded(f.isKeyframe, decoded.decodeMs, {decoded.picture->width, decoded.picture->height}, latencyMs);
    // An older picture not shown yet is dropped.
    newestPicture_ = std::make_shared<const DecodedPicture>(std::move(*decoded.picture));
}

} // namespace kiv::receiver
