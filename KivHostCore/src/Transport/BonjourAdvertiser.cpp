#include "KivHostCore/Transport/BonjourAdvertiser.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/utsname.h>

#include <algorithm>
#include <fstream>

#include <fmt/format.h>

#include "KivProtocol/KivConstants.hpp"
#include "KivProtocol/LocalNetwork.hpp"

namespace kiv {

std::shared_ptr<BonjourAdvertiser> BonjourAdvertiser::create(std::string name, std::uint16_t port,
                                                             std::map<std::string, std::string> txt,
                                                             ServiceRegistrar& registrar, Executor& queue, Executor& main) {
    return std::make_shared<BonjourAdvertiser>(std::move(name), port, std::move(txt), registrar, queue, main);
}

BonjourAdvertiser::BonjourAdvertiser(std::string name, std::uint16_t port, std::map<std::string, std::string> txt,
                                     ServiceRegistrar& registrar, Executor& queue, Executor& main)
    : name_(std::move(name)), port_(port), txt_(std::move(txt)), registrar_(registrar), queue_(queue), main_(main), queueHandle_(queue.handle()) {}

BonjourAdvertiser::~BonjourAdvertiser() {
    // The registrar is used on the advertiser's queue only; the last reference may go anywhere.
    if (queueHandle_.post([registrar = &registrar_] { registrar->unregister(); })) return;
    registrar_.unregister(); // the queue is gone: nothing else can be using the registrar
}

void BonjourAdvertiser::start() {
    queue_.post([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || self->registrar_.isRegistered()) return;
        const auto type = std::string(KivConstants::bonjourServiceType);
        const auto error = self->registrar_.registerService(
            self->name_, type, self->port_, DiscoveryService::encodeTXT(self->txt_), self->queue_,
            [weak](std::int32_t replyError, const std::string& registered) {
                const auto advertiser = weak.lock();
                if (!advertiser) return;
                if (replyError != 0) {
                    advertiser->report(replyError);
                    return;
                }
                advertiser->log_.info("Bonjour registered: " + (registered.empty() ? advertiser->name_ : registered));
                advertiser->deliver(std::nullopt);
            });
        if (error != 0) {
            self->report(error);
            return;
        }
        self->log_.info(fmt::format("Bonjour registering {} {} port={}", self->name_, type, self->port_));
    });
}

void BonjourAdvertiser::stop() {
    queue_.sync([this] { registrar_.unregister(); });
}

void BonjourAdvertiser::report(std::int32_t error) {
    if (error == policyDenied) {
        log_.error(fmt::format("Bonjour denied (PolicyDenied {}): 本地网络权限未授权，iPad 无法自动发现本机；手动输入 IP 仍可连接", error));
    } else {
        log_.error(fmt::format("Bonjour registration failed: DNS-SD error {}", error));
    }
    // Not from inside the DNS-SD callback that may be reporting this: withdraw on the next turn.
    queue_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->registrar_.unregister();
    });
    deliver(error);
}

void BonjourAdvertiser::deliver(std::optional<std::int32_t> result) {
    main_.post([weak = weak_from_this(), result] {
        const auto self = weak.lock();
        if (self && self->onResult) self->onResult(result);
    });
}

namespace DiscoveryService {

Bytes encodeTXT(const std::map<std::string, std::string>& entries) {
    Bytes out;
    for (const auto& [key, value] : entries) { // std::map iterates in key order
        std::string entry = key + "=" + value;
        if (entry.size() > 255) entry.resize(255);
        out.push_back(static_cast<std::uint8_t>(entry.size()));
        out.insert(out.end(), entry.begin(), entry.end());
    }
    return out;
}

std::map<std::string, std::string> txtRecord(const std::optional<std::string>& hostID) {
    std::map<std::string, std::string> txt{{"v", std::to_string(KivConstants::protocolVersion)}, {"model", modelIdentifier()}};
    if (hostID) txt["id"] = *hostID;
    const auto addresses = localIPv4Addresses();
    if (!addresses.empty()) txt["ip"] = addresses.front();
    return txt;
}

std::shared_ptr<BonjourAdvertiser> advertiser(const std::string& name, std::uint16_t port,
                                              const std::optional<std::string>& hostID, ServiceRegistrar& registrar,
                                              Executor& queue, Executor& main) {
    return BonjourAdvertiser::create(name, port, txtRecord(hostID), registrar, queue, main);
}

std::vector<std::string> localIPv4Addresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const std::string_view interfaceName(entry->ifa_name);
        if (!interfaceName.starts_with("en") && !interfaceName.starts_with("eth") && !interfaceName.starts_with("wl")) continue;
        char host[1025] = {};
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        const auto parsed = LocalNetwork::parseHost(host);
        if (std::holds_alternative<IPv4Address>(parsed) && LocalNetwork::isLocal(parsed)) addresses.emplace_back(host);
    }
    ::freeifaddrs(list);
    return addresses;
}

std::string modelIdentifier() {
    if (std::ifstream dmi{"/sys/devices/virtual/dmi/id/product_name"}) {
        std::string name;
        std::getline(dmi, name);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\n')) name.pop_back();
        if (!name.empty()) return name;
    }
    utsname info{};
    if (::uname(&info) == 0) return info.machine;
    return "unknown";
}

} // namespace DiscoveryService

} // namespace kiv
