#pragma once
// A host's Wi-Fi side on loopback with real sockets: control server and UDP video listener on
// free ports, every accepted link started and its control messages recorded. For integration
// tests and benchmarks; the device side is the receiver's client library.
#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "KivHostCore/Linux/AsioNetwork.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Transport/ControlServer.hpp"
#include "KivHostCore/Transport/UDPVideoListener.hpp"
#include "KivHostCore/Transport/WiFiTransport.hpp"

namespace kiv::test {

struct LoopbackWiFiHost {
    AsioNetworkFactory network;
    SerialQueue controlQueue{"kiv.control"};
    SerialQueue udpQueue{"kiv.udp"};
    SerialQueue linksQueue{"kiv.control.links"};
    std::shared_ptr<UDPVideoListener> udp = UDPVideoListener::create(network, udpQueue, {0, true});
    std::shared_ptr<ControlServer> server = ControlServer::create(network, controlQueue, udpQueue, {0, true});

    std::mutex mutex;
    std::vector<std::shared_ptr<WiFiTransport>> links;
    std::vector<std::pair<std::string, ControlMessage>> received; // link id, message
    std::vector<std::string> closed;

    LoopbackWiFiHost() {
        if (!udp->start()) throw std::runtime_error("UDP video listener did not start");
        server->udpListener = udp;
        server->onTransport = [this](std::shared_ptr<WiFiTransport> link) {
            const std::string id = link->id();
            link->setOnControl([this, id](const ControlMessage& message) {
                const std::lock_guard lock(mutex);
                received.emplace_back(id, message);
            });
            link->setOnClosed([this, id](const std::string&) {
                const std::lock_guard lock(mutex);
                closed.push_back(id);
            });
            link->start(linksQueue);
            const std::lock_guard lock(mutex);
            links.push_back(std::move(link));
        };
        if (!server->start()) throw std::runtime_error("control server did not start");
    }
    ~LoopbackWiFiHost() {
        server->stop();
        udp->stop();
    }

    std::size_t messagesFrom(const std::string& id, ControlMessage::Case kind) {
        const std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(received.begin(), received.end(), [&](const auto& entry) {
            return entry.first == id && entry.second.kind() == kind;
        }));
    }
    std::shared_ptr<WiFiTransport> link(std::size_t index) {
        const std::lock_guard lock(mutex);
        return index < links.size() ? links[index] : nullptr;
    }
};

} // namespace kiv::test
