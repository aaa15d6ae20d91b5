#include "KivHostCore/Transport/DnsSdAdvertiser.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <utility>

#include "KivHostCore/Transport/DnsSdDiscovery.hpp"
#include "KivProtocol/KivConstants.hpp"

namespace kiv {

std::shared_ptr<DnsSdAdvertiser> DnsSdAdvertiser::create(std::string name, std::uint16_t port,
                                                         std::map<std::string, std::string> txt,
                                                         ServiceRegistrar& registrar, Executor& queue, Executor& main) {
    return std::make_shared<DnsSdAdvertiser>(std::move(name), port, std::move(txt), registrar, queue, main);
}

DnsSdAdvertiser::DnsSdAdvertiser(std::string name, std::uint16_t port, std::map<std::string, std::string> txt,
                                 ServiceRegistrar& registrar, Executor& queue, Executor& main)
    : name_(std::move(name)), port_(port), txt_(std::move(txt)), registrar_(registrar), queue_(queue), main_(main) {}

DnsSdAdvertiser::~DnsSdAdvertiser() {
    // The registrar is used on the advertiser's queue only, and the last reference may go on any
    // thread: withdraw there (inline when this is that queue), before the registrar can go away.
    if (!queue_.sync([this] { registrar_.unregister(); })) registrar_.unregister();
}

void DnsSdAdvertiser::start() {
    queue_.post([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self || self->registrar_.isRegistered()) return;
        self->stopped_ = false;
        self->retry_.cancel();
        const auto type = std::string(KivConstants::dnsSdServiceType);
        const auto error = self->registrar_.registerService(
            self->name_, type, self->port_, DnsSdDiscovery::encodeTXT(self->txt_), self->queue_,
            [weak](std::int32_t replyError, const std::string& registered) {
                const auto advertiser = weak.lock();
                if (!advertiser) return;
                if (replyError != 0) {
                    advertiser->report(replyError);
                    return;
                }
                advertiser->log_.info("Bonjour registered: " + (registered.empty() ? advertiser->name_ : registered));
                advertiser->failing_ = false;
                advertiser->nextRetry_ = kFirstRetry;
                advertiser->deliver(std::nullopt);
            });
        if (error != 0) {
            self->report(error);
            return;
        }
        if (!self->failing_)
            self->log_.info(fmt::format("Bonjour registering {} {} port={}", self->name_, type, self->port_));
    });
}

void DnsSdAdvertiser::stop() {
    queue_.sync([this] {
        stopped_ = true;
        retry_.cancel();
        registrar_.unregister();
    });
}

void DnsSdAdvertiser::report(std::int32_t error) {
    // The daemon may be starting, or restarting after an update: try again, quietly.
    if (error != policyDenied && !stopped_) {
        retry_ = queue_.postAfter(nextRetry_, [weak = weak_from_this()] {
            if (auto self = weak.lock(); self && !self->stopped_) self->start();
        });
        nextRetry_ = std::min(nextRetry_ * 2, kLongestRetry);
    }
    if (std::exchange(failing_, true)) {
        queue_.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->registrar_.unregister();
        });
        return;
    }
    if (error == policyDenied) {
        log_.error(fmt::format(
            "Bonjour denied (PolicyDenied {}): 本地网络权限未授权，iPad 无法自动发现本机；手动输入 IP 仍可连接",
            error));
    } else {
        log_.error(fmt::format("Bonjour registration failed: DNS-SD error {}", error));
    }
    // Not from inside the DNS-SD callback that may be reporting this: withdraw on the next turn.
    queue_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->registrar_.unregister();
    });
    deliver(error);
}

void DnsSdAdvertiser::deliver(std::optional<std::int32_t> result) {
    main_.post([weak = weak_from_this(), result] {
        const auto self = weak.lock();
        if (self && self->onResult) self->onResult(result);
    });
}

} // namespace kiv
