#include "KivHostCore/Transport/UDPVideoListener.hpp"

#include <fmt/format.h>
#include <vector>

#include "KivHostCore/Transport/WiFiTransport.hpp"
#include "KivProtocol/VideoPacket.hpp"

namespace kiv {

std::shared_ptr<UDPVideoListener> UDPVideoListener::create(NetworkFactory& network, Executor& queue,
                                                           ListenerOptions options) {
    return std::make_shared<UDPVideoListener>(network, queue, options);
}

UDPVideoListener::UDPVideoListener(NetworkFactory& network, Executor& queue, ListenerOptions options)
    : network_(network), queue_(queue), options_(options) {}

std::expected<void, std::string> UDPVideoListener::start() {
    auto listener = network_.makeDatagramListener(options_);
    if (!listener) return std::unexpected(listener.error());
    listener_ = *listener;
    const auto weak = weak_from_this();
    listener_->setNewFlowHandler([weak](std::shared_ptr<DatagramFlow> flow) {
        if (auto self = weak.lock()) {
            self->accept(flow);
        } else {
            flow->cancel();
        }
    });
    listener_->setStateHandler([weak, port = options_.port](ListenerState state, const NetworkError& error) {
        const auto self = weak.lock();
        if (!self) return;
        switch (state) {
        case ListenerState::ready: self->log_.info("Video listener ready udp=" + std::to_string(port)); break;
        case ListenerState::waiting: self->log_.warning("Video listener waiting: " + error.value_or("")); break;
        case ListenerState::failed: self->log_.error("Video listener failed: " + error.value_or("")); break;
        default: break;
        }
    });
    listener_->start(queue_);
    // The watchdog re-arms itself every second on the queue.
    watchdogTimer_ = queue_.postAfter(kWatchdogInterval, [weak] {
        if (auto self = weak.lock()) self->watchdog();
    });
    return {};
}

void UDPVideoListener::stop() {
    queue_.sync([this] {
        watchdogTimer_.cancel();
        if (listener_) {
            listener_->setNewFlowHandler({});
            listener_->setStateHandler({});
            listener_->cancel();
            listener_.reset();
        }
    });
    std::map<std::string, Registration> dropped;
    {
        const std::lock_guard lock(mutex_);
        dropped.swap(registrations_);
    }
}

std::uint16_t UDPVideoListener::port() const {
    return listener_ ? listener_->port() : options_.port;
}

void UDPVideoListener::registerLink(const std::shared_ptr<WiFiTransport>& link, std::uint32_t sessionID,
                                    std::uint64_t key) {
    const std::lock_guard lock(mutex_);
    registrations_[link->id()] = Registration{link, sessionID, key};
}

void UDPVideoListener::unregisterLink(const std::string& linkID) {
    Registration removed;
    {
        const std::lock_guard lock(mutex_);
        const auto it = registrations_.find(linkID);
        if (it == registrations_.end()) return;
        removed = std::move(it->second);
        registrations_.erase(it);
    }
    // `removed` may hold the last reference to the link; it is released here, outside the lock.
}

std::size_t UDPVideoListener::registrationCount() const {
    const std::lock_guard lock(mutex_);
    return registrations_.size();
}

void UDPVideoListener::accept(const std::shared_ptr<DatagramFlow>& flow) {
    const auto peer = flow->remoteEndpoint();
    if (!peer || !LocalNetwork::isLocal(*peer)) {
        flow->cancel();
        return;
    }
    flow->start(queue_);
    receive(flow);
    queue_.postAfter(kAdoptTimeout, [weak = weak_from_this(), weakFlow = std::weak_ptr<DatagramFlow>(flow)] {
        const auto self = weak.lock();
        const auto live = weakFlow.lock();
        if (self && live) self->checkAdopted(live);
    });
}

void UDPVideoListener::checkAdopted(const std::shared_ptr<DatagramFlow>& flow) {
    if (flow->state() == ConnectionState::cancelled) return;
    bool adopted = false;
    {
        const std::lock_guard lock(mutex_); // then each link's lock: the fixed order
        for (const auto& [id, registration] : registrations_)
            adopted = adopted || registration.link->hasAdopted(*flow);
    }
    if (!adopted) flow->cancel();
}

void UDPVideoListener::receive(const std::shared_ptr<DatagramFlow>& flow) {
    flow->receiveMessage([weak = weak_from_this(),
                          weakFlow = std::weak_ptr<DatagramFlow>(flow)](Bytes datagram, const NetworkError& error) {
        const auto self = weak.lock();
        const auto live = weakFlow.lock();
        if (!self || !live) return;
        if (const auto keepalive = VideoKeepalive::parse(datagram)) {
            std::shared_ptr<WiFiTransport> match;
            {
                const std::lock_guard lock(self->mutex_);
                for (const auto& [id, registration] : self->registrations_) {
                    if (registration.sessionID == keepalive->sessionID && registration.key == keepalive->videoKey) {
                        match = registration.link;
                        break;
                    }
                }
            }
            if (match) match->noteKeepalive(live, keepalive->sessionID, keepalive->videoKey);
        }
        if (error || live->state() == ConnectionState::cancelled) return;
        self->receive(live);
    });
}

void UDPVideoListener::watchdog() {
    std::vector<std::shared_ptr<WiFiTransport>> links;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, registration] : registrations_)
            links.push_back(registration.link);
    }
    for (const auto& link : links) {
        if (auto silent = link->detachIfSilent(kKeepaliveTimeout)) {
            log_.warning("Video client keepalive timeout (no UDP keepalive for 5s)");
            silent->cancel();
        }
        // Otherwise the device waits for a picture that never leaves, and nothing says why.
        if (link->neverHeardFor(kKeepaliveTimeout))
            log_.warning(fmt::format("No UDP video flow from {} in 5 s, though it reached the control port: is UDP "
                                     "port {} let in (the firewall)?",
                                     link->remoteAddress(), port()));
    }
    watchdogTimer_ = queue_.postAfter(kWatchdogInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->watchdog();
    });
}

} // namespace kiv
