#pragma once
// Advertises the control port by DNS-SD under "_kivdisplay._tcp" with the host's TXT record, so
// devices find the host without typing an address. Registration and its callbacks run on the
// "kiv.bonjour" queue; the outcome is reported on the main executor. A registration that fails, or
// that the daemon drops when it restarts, is tried again after 2 s, doubling up to 30 s.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KivBase/KivLog.hpp"
#include "KivHostCore/Platform/ServiceRegistrar.hpp"
#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class DnsSdAdvertiser : public std::enable_shared_from_this<DnsSdAdvertiser> {
public:
    static constexpr std::int32_t policyDenied = -65570;
    static constexpr Duration kFirstRetry = std::chrono::seconds(2);
    static constexpr Duration kLongestRetry = std::chrono::seconds(30);

    static std::shared_ptr<DnsSdAdvertiser> create(std::string name, std::uint16_t port,
                                                   std::map<std::string, std::string> txt, ServiceRegistrar& registrar,
                                                   Executor& queue, Executor& main);

    // Nothing: registered; a code: failed. Called on the main executor.
    std::function<void(std::optional<std::int32_t>)> onResult;

    void start(); // registers once; a second start while registered does nothing
    void stop();  // synchronous: the registration is withdrawn when it returns

    const std::map<std::string, std::string>& txt() const { return txt_; }

    DnsSdAdvertiser(std::string name, std::uint16_t port, std::map<std::string, std::string> txt,
                    ServiceRegistrar& registrar, Executor& queue, Executor& main); // use create()
    ~DnsSdAdvertiser();

private:
    void report(std::int32_t error);
    void deliver(std::optional<std::int32_t> result);

    const std::string name_;
    const std::uint16_t port_;
    const std::map<std::string, std::string> txt_;
    ServiceRegistrar& registrar_;
    Executor& queue_; // outlives the advertiser (see the destruction order in the README)
    Executor& main_;
    KivLogger log_ = KivLog::logger("Bonjour");
    // On the queue only.
    bool stopped_ = false;
    bool failing_ = false; // the last attempt failed: the next failure is not logged again
    Duration nextRetry_ = kFirstRetry;
    ScopedTimer retry_;
};

} // namespace kiv
