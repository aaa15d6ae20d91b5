#include "KivHostCore/Transport/WebLinkServer.hpp"

#include <algorithm>
#include <fmt/format.h>

#include "KivHostCore/Transport/StreamLinkTransport.hpp"

namespace kiv {

std::shared_ptr<WebLinkServer> WebLinkServer::create(std::shared_ptr<StreamListener> listener, Executor& queue,
                                                     Executor& clock) {
    return std::make_shared<WebLinkServer>(std::move(listener), queue, clock);
}

WebLinkServer::WebLinkServer(std::shared_ptr<StreamListener> listener, Executor& queue, Executor& clock)
    : listener_(std::move(listener)), queue_(queue), clock_(clock) {}

void WebLinkServer::start() {
    const auto weak = weak_from_this();
    listener_->setStateHandler([weak](ListenerState state, const NetworkError& error) {
        const auto self = weak.lock();
        if (!self) return;
        if (state == ListenerState::ready)
            self->log_.info(fmt::format("Web link listening https={}", self->listener_->port()));
        if (state == ListenerState::failed) self->log_.error("Web listener failed: " + error.value_or(""));
    });
    listener_->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
        if (auto self = weak.lock()) {
            self->accept(connection);
        } else {
            connection->cancel();
        }
    });
    listener_->start(queue_);
}

void WebLinkServer::stop() {
    if (!listener_) return;
    listener_->setNewConnectionHandler({});
    listener_->setStateHandler({});
    listener_->cancel();
}

void WebLinkServer::accept(const std::shared_ptr<Connection>& connection) {
    const auto peer = connection->remoteEndpoint();
    const auto address = LocalNetwork::describe(peer);
    const auto now = queue_.now();
    if (!peer || !LocalNetwork::isLocal(*peer)) {
        if (const auto line = refusals_.note("non-LAN", address, now, "Rejected non-LAN web link " + address))
            log_.warning(*line);
        connection->cancel();
        return;
    }
    if (!rate_.allow(address, now)) {
        if (const auto line = refusals_.note("rate", address, now,
                                             fmt::format("Refused a web link from {}: more than {} new links from it "
                                                         "within a second",
                                                         address, NewLinkRate::kPerSecond)))
            log_.warning(*line);
        connection->cancel();
        return;
    }
    if (const auto full = silent_.makeRoom(address))
        log_.warning(fmt::format("Closed the oldest silent web link, from {}, for one from {}: {} links from it and "
                                 "{} in all had not said anything yet",
                                 full->closed, address, full->fromAddress, full->total));
    log_.info("Incoming web link from " + address);
    auto link = WebTransport::create(connection, clock_);
    silent_.add(link);
    if (onTransport) onTransport(std::move(link));
}

} // namespace kiv
