#include "KivHostCore/Transport/ControlServer.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "KivHostCore/Transport/WiFiTransport.hpp"

namespace kiv {

std::shared_ptr<ControlServer> ControlServer::create(NetworkFactory& network, Executor& queue, Executor& clock,
                                                     ListenerOptions options) {
    return std::make_shared<ControlServer>(network, queue, clock, options);
}

ControlServer::ControlServer(NetworkFactory& network, Executor& queue, Executor& clock, ListenerOptions options)
    : network_(network), queue_(queue), clock_(clock), options_(options) {}

std::expected<void, std::string> ControlServer::start() {
    auto listener = network_.makeStreamListener(options_);
    if (!listener) return std::unexpected(listener.error());
    listener_ = *listener;
    const auto weak = weak_from_this();
    listener_->setStateHandler([weak](ListenerState state, const NetworkError& error) {
        if (auto self = weak.lock()) self->onState(state, error);
    });
    listener_->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
        if (auto self = weak.lock()) {
            self->accept(connection);
        } else {
            connection->cancel();
        }
    });
    listener_->start(queue_);
    readyCheck_ = queue_.postAfter(kReadyCheck, [weak] {
        const auto self = weak.lock();
        if (!self || !self->listener_ || self->ready_) return;
        self->log_.warning(fmt::format("Control listener not ready after 5s (state={})，iPad 将无法连接",
                                       toText(self->listener_->state())));
    });
    return {};
}

void ControlServer::stop() {
    readyCheck_.cancel();
    if (!listener_) return;
    listener_->setNewConnectionHandler({});
    listener_->setStateHandler({});
    listener_->cancel();
    listener_.reset();
}

std::uint16_t ControlServer::port() const {
    return listener_ ? listener_->port() : options_.port;
}

void ControlServer::onState(ListenerState state, const NetworkError& error) {
    switch (state) {
    case ListenerState::ready:
        ready_ = true;
        log_.info(fmt::format("Control server listening tcp={} loopback={}", options_.port, options_.loopbackOnly));
        break;
    case ListenerState::waiting: log_.warning("Control listener waiting: " + error.value_or("")); break;
    case ListenerState::failed:
        log_.error("Control listener failed: " + error.value_or(""));
        if (onListenerFailed) onListenerFailed(error.value_or(""));
        break;
    case ListenerState::cancelled: log_.info("Control listener cancelled"); break;
    case ListenerState::setup: break;
    }
}

void ControlServer::accept(const std::shared_ptr<Connection>& connection) {
    const auto peer = connection->remoteEndpoint();
    const auto address = LocalNetwork::describe(peer);
    const auto now = queue_.now();
    if (!peer || !LocalNetwork::isLocal(*peer)) {
        if (const auto line = refusals_.note("non-LAN", address, now, "Rejected non-LAN connection " + address))
            log_.warning(*line);
        connection->cancel();
        return;
    }
    if (!rate_.allow(address, now)) {
        if (const auto line = refusals_.note("rate", address, now,
                                             fmt::format("Refused a connection from {}: more than {} new links from "
                                                         "it within a second",
                                                         address, NewLinkRate::kPerSecond)))
            log_.warning(*line);
        connection->cancel();
        return;
    }
    if (const auto full = silent_.makeRoom(address))
        log_.warning(fmt::format("Closed the oldest silent link, from {}, for a connection from {}: {} links from "
                                 "it and {} in all had not said anything yet",
                                 full->closed, address, full->fromAddress, full->total));
    log_.info("Incoming control connection from " + address);
    auto link = WiFiTransport::create(connection, udpListener, clock_, simulatedPacketLoss);
    silent_.add(link);
    if (onTransport) onTransport(std::move(link)); // without a receiver the link is dropped unstarted
}

} // namespace kiv
