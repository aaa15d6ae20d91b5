#pragma once
// Accepts the devices' TCP control connections on the local network and turns each into a
// WiFiTransport for the host service. Links that have not said anything yet are capped, in all
// and per address, so a device that opens connections and stays silent cannot exhaust the host.
// Its callbacks run on its queue ("kiv.control").
#include <functional>
#include <memory>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Transport/AdmissionLimits.hpp"
#include "KivHostCore/Transport/SilentLinkCap.hpp"

namespace kiv {

class UDPVideoListener;
class WiFiTransport;

class ControlServer : public std::enable_shared_from_this<ControlServer> {
public:
    static constexpr Duration kReadyCheck = std::chrono::seconds(5);
    static constexpr std::size_t kMaxSilentLinks = 32;
    static constexpr std::size_t kMaxSilentLinksPerAddress = 4;

    // `clock` is handed to each link for keepalive and metrics timing.
    static std::shared_ptr<ControlServer> create(NetworkFactory& network, Executor& queue, Executor& clock,
                                                 ListenerOptions options);

    std::function<void(std::shared_ptr<WiFiTransport>)> onTransport;
    std::function<void(const std::string&)> onListenerFailed;
    std::weak_ptr<UDPVideoListener> udpListener;
    double simulatedPacketLoss = 0;

    std::expected<void, std::string> start();
    void stop();
    std::uint16_t port() const; // bound port once started

    ControlServer(NetworkFactory& network, Executor& queue, Executor& clock, ListenerOptions options);

private:
    void accept(const std::shared_ptr<Connection>& connection);
    void onState(ListenerState state, const NetworkError& error);

    NetworkFactory& network_;
    Executor& queue_;
    Executor& clock_; // handed to each link, which holds it weakly
    const ListenerOptions options_;
    KivLogger log_ = KivLog::logger("Transport");
    std::shared_ptr<StreamListener> listener_;
    bool ready_ = false;
    ScopedTimer readyCheck_;
    SilentLinkCap<WiFiTransport> silent_{kMaxSilentLinks, kMaxSilentLinksPerAddress}; // queue only
    NewLinkRate rate_;                                                                // queue only
    RefusalNotes refusals_;                                                           // queue only
};

} // namespace kiv
