#pragma once
// Turns the web listener's upgraded WebSockets into WebTransports for the host service, with the
// same admission as the Wi-Fi control server: local-network peers only, and links that have not
// said anything yet capped in all and per address. Callbacks run on its queue.
#include <functional>
#include <memory>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/Network.hpp"
#include "KivHostCore/Transport/AdmissionLimits.hpp"
#include "KivHostCore/Transport/SilentLinkCap.hpp"

namespace kiv {

class WebTransport;

class WebLinkServer : public std::enable_shared_from_this<WebLinkServer> {
public:
    static constexpr std::size_t kMaxSilentLinks = 32;
    static constexpr std::size_t kMaxSilentLinksPerAddress = 4;

    static std::shared_ptr<WebLinkServer> create(std::shared_ptr<StreamListener> listener, Executor& queue,
                                                 Executor& clock);

    std::function<void(std::shared_ptr<WebTransport>)> onTransport;

    void start();
    void stop();
    std::uint16_t port() const { return listener_ ? listener_->port() : 0; }

    WebLinkServer(std::shared_ptr<StreamListener> listener, Executor& queue, Executor& clock); // use create()

private:
    void accept(const std::shared_ptr<Connection>& connection);

    std::shared_ptr<StreamListener> listener_;
    Executor& queue_;
    Executor& clock_;
    KivLogger log_ = KivLog::logger("Transport");
    SilentLinkCap<WebTransport> silent_{kMaxSilentLinks, kMaxSilentLinksPerAddress}; // queue only
    NewLinkRate rate_;                                                               // queue only
    RefusalNotes refusals_;                                                          // queue only
};

} // namespace kiv
