#pragma once
// DNS-SD registration through the dns_sd.h API (Avahi's compatibility library on Linux). The
// service socket is watched by Asio and its replies are processed on the advertiser's queue.
#include <memory>

#include "KivHostCore/Platform/ServiceRegistrar.hpp"

namespace kiv {

class DnsSdRegistrar final : public ServiceRegistrar {
public:
    DnsSdRegistrar();
    ~DnsSdRegistrar() override;

    std::int32_t registerService(const std::string& name, const std::string& type, std::uint16_t port, const Bytes& txt,
                                 Executor& queue, Reply reply) override;
    void unregister() override;
    bool isRegistered() const override;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
