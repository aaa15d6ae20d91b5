#include "KivHostCore/Transport/USBDeviceMonitor.hpp"

#include <fmt/format.h>

#include "KivHostCore/Runtime/OnceFlag.hpp"
#include "KivProtocol/Localization.hpp"

namespace kiv {

std::shared_ptr<USBDeviceMonitor> USBDeviceMonitor::create(Mode mode, std::uint16_t port, UsbmuxService& usbmux,
                                                           NetworkFactory& network, Executor& queue, Executor& main) {
    return std::make_shared<USBDeviceMonitor>(std::move(mode), port, usbmux, network, queue, main);
}

USBDeviceMonitor::USBDeviceMonitor(Mode mode, std::uint16_t port, UsbmuxService& usbmux, NetworkFactory& network,
                                   Executor& queue, Executor& main)
    : mode_(std::move(mode)), port_(port), usbmux_(usbmux), network_(network), queue_(queue), main_(main) {}

void USBDeviceMonitor::start() {
    onQueue([](USBDeviceMonitor& self) {
        if (!self.stopped_) return;
        self.stopped_ = false;
        if (!self.mode_) {
            self.listen();
        } else {
            self.log_.info(
                fmt::format("USB test mode: direct connect to {}:{} (no usbmuxd)", self.mode_->host, self.mode_->port));
            Device device;
            device.info = USBDeviceInfo{1, fmt::format("SIMULATED-USB-{}", self.mode_->port), std::nullopt};
            device.state = State::waitingForApp;
            self.devices_.emplace(1, std::move(device));
        }
        self.timer_ = self.queue_.postAfter(kFirstTick, [weak = self.weak_from_this()] {
            if (auto monitor = weak.lock()) monitor->tick();
        });
    });
}

void USBDeviceMonitor::stop() {
    queue_.sync([this] {
        stopped_ = true;
        timer_.cancel();
        retry_.cancel();
        if (listenConnection_) {
            listenConnection_->cancel();
            listenConnection_.reset();
        }
        for (auto& [id, device] : devices_) {
            if (device.transport && device.transport->isOpen()) device.transport->close();
        }
        devices_.clear();
    });
}

void USBDeviceMonitor::setServiceError(std::string error) {
    if (usbmuxError_ != error) log_.warning(error);
    usbmuxError_ = std::move(error);
    publish();
}

void USBDeviceMonitor::listen() {
    if (stopped_) return;
    usbmux_.listen(queue_, [weak = weak_from_this()](UsbmuxService::ListenResult result,
                                                     std::shared_ptr<Connection> connection) {
        const auto self = weak.lock();
        if (!self || self->stopped_) {
            if (connection) connection->cancel();
            return;
        }
        const auto retryLater = [self] {
            self->retry_ = self->queue_.postAfter(kListenRetry, [weak = self->weak_from_this()] {
                if (auto monitor = weak.lock()) monitor->listen();
            });
        };
        if (result == UsbmuxService::ListenResult::unavailable) {
            self->setServiceError(localize(
                "The USB service (usbmuxd) isn't available, so USB is temporarily off. Wi-Fi isn't affected."));
            retryLater();
            return;
        }
        if (result == UsbmuxService::ListenResult::refused) {
            self->setServiceError(localize("The USB service (usbmuxd) refused to listen, so USB is temporarily off."));
            retryLater();
            return;
        }
        if (self->usbmuxError_) self->log_.info("usbmuxd available again");
        self->usbmuxError_.reset();
        self->log_.info("Listening for USB devices (usbmuxd)");
        self->listenConnection_ = connection;
        self->publish();
        self->readEvents(connection);
    });
}

void USBDeviceMonitor::readEvents(const std::shared_ptr<Connection>& connection) {
    usbmux_.readEvent(connection, [weak = weak_from_this(), connection](std::optional<UsbmuxEvent> event) {
        const auto self = weak.lock();
        if (!self || self->listenConnection_ != connection) return; // a connection we no longer use
        if (!event) {
            self->log_.warning("usbmuxd listen connection lost, retrying");
            connection->cancel();
            self->listenConnection_.reset();
            self->devices_.clear(); // open links are not closed: their tunnels end by themselves
            self->publish();
            self->retry_ = self->queue_.postAfter(kListenLostRetry, [weak] {
                if (auto monitor = weak.lock()) monitor->listen();
            });
            return;
        }
        self->handle(*event);
        self->readEvents(connection);
    });
}

void USBDeviceMonitor::handle(const UsbmuxEvent& event) {
    switch (event.kind) {
    case UsbmuxEvent::Kind::attached: {
        if (devices_.contains(event.device.muxID)) return;
        const auto product = event.device.productID ? std::to_string(*event.device.productID) : std::string("?");
        log_.notice(fmt::format("USB device attached {} (product {})", event.device.shortID(), product));
        devices_.emplace(event.device.muxID,
                         Device{event.device, State::checking, nullptr, false, std::nullopt, false});
        checkTrust(event.device.muxID);
        publish();
        break;
    }
    case UsbmuxEvent::Kind::detached: {
        const auto it = devices_.find(event.muxID);
        if (it == devices_.end()) return;
        log_.notice("USB device detached " + it->second.info.shortID());
        devices_.erase(it);
        publish();
        break;
    }
    case UsbmuxEvent::Kind::other: break;
    }
}

void USBDeviceMonitor::checkTrust(std::int64_t muxID) {
    const auto it = devices_.find(muxID);
    if (it == devices_.end()) return;
    usbmux_.isPaired(it->second.info.udid, queue_, [weak = weak_from_this(), muxID](std::optional<bool> trusted) {
        if (auto self = weak.lock()) self->trustAnswer(muxID, trusted);
    });
}

void USBDeviceMonitor::trustAnswer(std::int64_t muxID, std::optional<bool> trusted) {
    const auto it = devices_.find(muxID);
    if (stopped_ || it == devices_.end()) return;
    auto& device = it->second;
    if (trusted == false) {
        if (device.state != State::untrusted) {
            log_.warning(
                fmt::format("USB device {} has not trusted this Mac: tap “Trust” on the iPad", device.info.shortID()));
        }
        device.state = State::untrusted;
    } else {
        // Trusted, or the service could not be asked: the connect step will tell.
        if (device.state == State::untrusted)
            log_.info(fmt::format("USB device {} trusted this Mac", device.info.shortID()));
        if (device.state == State::checking || device.state == State::untrusted) device.state = State::waitingForApp;
    }
    publish();
    tick();
}

void USBDeviceMonitor::tick() {
    if (stopped_) return;
    const auto now = queue_.now();
    std::vector<std::int64_t> toConnect;
    std::vector<std::int64_t> toCheck;
    bool changed = false;
    for (auto& [muxID, device] : devices_) {
        if (device.transport && !device.transport->isOpen()) {
            log_.info("USB link to " + device.info.shortID() + " closed");
            device.transport.reset();
            device.state = State::waitingForApp;
            changed = true;
        }
        switch (device.state) {
        case State::checking:
        case State::connected: break;
        case State::untrusted: {
            const auto last = lastTrustCheck_.find(muxID);
            if (last == lastTrustCheck_.end() || now - last->second >= kTrustRecheck) {
                lastTrustCheck_[muxID] = now;
                toCheck.push_back(muxID);
            }
            break;
        }
        case State::waitingForApp: {
            const auto last = lastAttempt_.find(muxID);
            if (!device.connecting && (last == lastAttempt_.end() || now - last->second >= kConnectRetry)) {
                toConnect.push_back(muxID);
            }
            break;
        }
        }
    }
    if (changed) publish();
    for (const auto id : toCheck)
        checkTrust(id);
    for (const auto id : toConnect)
        connectDevice(id);
    timer_ = queue_.postAfter(kTickInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->tick();
    });
}

void USBDeviceMonitor::connectDevice(std::int64_t muxID) {
    auto& device = devices_.at(muxID);
    device.connecting = true;
    lastAttempt_[muxID] = queue_.now();
    const auto done = [weak = weak_from_this(), muxID](std::shared_ptr<Connection> connection,
                                                       std::optional<std::int64_t> code) {
        if (auto self = weak.lock()) {
            self->connected(muxID, std::move(connection), code);
        } else if (connection) {
            connection->cancel();
        }
    };
    if (!mode_) {
        usbmux_.connect(muxID, port_, queue_, done);
        return;
    }
    // Unreachable, cancelled or silent for 3 s: the app is not there yet (code 3), try again later.
    startWithin(network_.makeTcpConnection(mode_->host, mode_->port), queue_, Usbmux::kOpenTimeout,
                [done](std::shared_ptr<Connection> connection) {
                    done(connection, connection ? std::optional<std::int64_t>(0) : 3);
                });
}

void USBDeviceMonitor::connected(std::int64_t muxID, std::shared_ptr<Connection> connection,
                                 std::optional<std::int64_t> code) {
    const auto it = devices_.find(muxID);
    if (stopped_ || it == devices_.end()) {
        if (connection) connection->cancel();
        return;
    }
    auto& device = it->second;
    device.connecting = false;
    const auto shortID = device.info.shortID();
    if (!connection) {
        if (code) {
            if (!device.hadResult || device.lastResult != code) {
                if (*code == 2) {
                    log_.warning("USB device " + shortID +
                                 ": usbmux reports bad device (data connection failed / not trusted)");
                } else if (*code == 3) {
                    log_.info("USB device " + shortID +
                              ": KivDisplay not running in foreground on iPad, retrying every 2s");
                } else {
                    log_.warning(fmt::format("USB device {}: connect failed (code {})", shortID, *code));
                }
            }
        } else if (device.hadResult && device.lastResult) {
            log_.warning("USB device " + shortID + ": connect failed (code -)");
        }
        device.lastResult = code;
        device.hadResult = true;
        publish();
        return;
    }
    device.lastResult = 0;
    device.hadResult = true;
    device.state = State::connected;
    const auto route =
        mode_ ? fmt::format("{}:{} (test mode)", mode_->host, mode_->port) : fmt::format("port {} via usbmuxd", port_);
    log_.notice("USB link established to " + shortID + " " + route);
    device.transport = USBTransport::create(std::move(connection), device.info, queue_);
    if (onTransport) onTransport(device.transport);
    publish();
}

void USBDeviceMonitor::publish() {
    std::vector<USBDeviceStatus> list;
    for (const auto& [muxID, device] : devices_)
        list.push_back({device.info, device.state}); // map: sorted by muxID
    auto snapshot = std::make_pair(list, usbmuxError_);
    if (lastPublished_ == snapshot) return;
    lastPublished_ = snapshot;
    main_.post([weak = weak_from_this(), snapshot = std::move(snapshot)] {
        const auto self = weak.lock();
        if (self && self->onStatus) self->onStatus(snapshot.first, snapshot.second);
    });
}

} // namespace kiv
