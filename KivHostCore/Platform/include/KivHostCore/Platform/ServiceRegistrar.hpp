#pragma once
// DNS-SD registration, the one call the advertiser needs from the platform.
// Threading: registerService and unregister are called on the advertiser's queue; the reply runs
// there too. Error codes are DNS-SD's (0 = no error).
#include <cstdint>
#include <functional>
#include <string>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/ByteOrder.hpp"

namespace kiv {

class ServiceRegistrar {
public:
    using Reply = std::function<void(std::int32_t error, const std::string& registeredName)>;
    virtual ~ServiceRegistrar() = default;
    // 0 when the request went out (the reply follows), else the immediate error.
    virtual std::int32_t registerService(const std::string& name, const std::string& type, std::uint16_t port,
                                         const Bytes& txt, Executor& queue, Reply reply) = 0;
    virtual void unregister() = 0; // withdraws the registration; idempotent
    virtual bool isRegistered() const = 0;
};

} // namespace kiv
