#include "KivReceiver/HostBrowser.hpp"

#include <arpa/inet.h>
#include <poll.h>

#include <cstdlib>
#include <dns_sd.h>
#include <memory>

#include "KivProtocol/KivConstants.hpp"

namespace kiv::receiver {

std::map<std::string, std::string> parseTXT(const unsigned char* data, std::size_t length) {
    std::map<std::string, std::string> entries;
    std::size_t at = 0;
    while (at < length) {
        const std::size_t size = data[at++];
        if (size > length - at) break;
        const std::string entry(reinterpret_cast<const char*>(data + at), size);
        at += size;
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            entries.emplace(entry, "");
        } else {
            entries.emplace(entry.substr(0, equals), entry.substr(equals + 1));
        }
    }
    return entries;
}

namespace {

struct RefDeleter {
    void operator()(_DNSServiceRef_t* ref) const { DNSServiceRefDeallocate(ref); }
};
using Ref = std::unique_ptr<_DNSServiceRef_t, RefDeleter>;

struct Browse {
    std::vector<DiscoveredHost> hosts;
    std::vector<Ref> resolves;
    std::vector<std::string> seen;
};

void onResolve(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char* fullName,
               const char* hostTarget, uint16_t port, uint16_t txtLength, const unsigned char* txt, void* context) {
    if (error != kDNSServiceErr_NoError) return;
    auto* host = static_cast<DiscoveredHost*>(context);
    (void)fullName;
    host->hostTarget = hostTarget != nullptr ? hostTarget : "";
    host->port = ntohs(port);
    host->txt = parseTXT(txt, txtLength);
}

void onBrowse(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex, DNSServiceErrorType error,
              const char* name, const char* type, const char* domain, void* context) {
    if (error != kDNSServiceErr_NoError || (flags & kDNSServiceFlagsAdd) == 0) return;
    auto* browse = static_cast<Browse*>(context);
    const std::string key = std::string(name) + "|" + type + "|" + domain;
    for (const auto& seen : browse->seen) {
        if (seen == key) return;
    }
    browse->seen.push_back(key);
    browse->hosts.reserve(64); // addresses handed to resolve callbacks must stay put
    if (browse->hosts.size() == 64) return;
    browse->hosts.push_back(DiscoveredHost{name, {}, 0, {}});
    DNSServiceRef ref = nullptr;
    if (DNSServiceResolve(&ref, 0, interfaceIndex, name, type, domain, onResolve, &browse->hosts.back()) ==
        kDNSServiceErr_NoError) {
        browse->resolves.emplace_back(ref);
    }
}

} // namespace

std::expected<std::vector<DiscoveredHost>, std::string> browseHosts(std::chrono::milliseconds duration) {
    ::setenv("AVAHI_COMPAT_NOWARN", "1", 0);
    Browse browse;
    browse.hosts.reserve(64);
    DNSServiceRef browseRef = nullptr;
    const auto error = DNSServiceBrowse(&browseRef, 0, 0, std::string(KivConstants::dnsSdServiceType).c_str(), nullptr,
                                        onBrowse, &browse);
    // Through Avahi's compatibility library every failure to reach the daemon is "unknown".
    if (error == kDNSServiceErr_Unknown)
        return std::unexpected("avahi-daemon is not running: start it with sudo systemctl enable --now avahi-daemon");
    if (error != kDNSServiceErr_NoError) return std::unexpected("DNS-SD browse failed: error " + std::to_string(error));
    const Ref browser(browseRef);
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds{{DNSServiceRefSockFD(browser.get()), POLLIN, 0}};
        for (const auto& resolve : browse.resolves)
            fds.push_back({DNSServiceRefSockFD(resolve.get()), POLLIN, 0});
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) continue;
        if (fds[0].revents & POLLIN) DNSServiceProcessResult(browser.get());
        for (std::size_t i = 1; i < fds.size() && i - 1 < browse.resolves.size(); ++i) {
            if (fds[i].revents & POLLIN) DNSServiceProcessResult(browse.resolves[i - 1].get());
        }
    }
    std::vector<DiscoveredHost> resolved;
    for (auto& host : browse.hosts) {
        if (host.port != 0) resolved.push_back(std::move(host));
    }
    return resolved;
}

} // namespace kiv::receiver
