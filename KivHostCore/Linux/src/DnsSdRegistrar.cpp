#include "KivHostCore/Linux/DnsSdRegistrar.hpp"

#include <arpa/inet.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cstdlib>
#include <dns_sd.h>
#include <mutex>

#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

struct DnsSdRegistrar::Impl : std::enable_shared_from_this<Impl> {
    Impl() : socket(WorkerPool::io().context()) {}

    static void onRegister(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name, const char*,
                           const char*, void* context) {
        auto* self = static_cast<Impl*>(context);
        if (self->reply) self->reply(error, name != nullptr ? name : "");
    }

    // Waits for the daemon's reply on the worker pool, then processes it on the queue.
    void watch() {
        socket.async_wait(asio::posix::stream_descriptor::wait_read,
                          [weak = weak_from_this()](const std::error_code& error) {
                              const auto self = weak.lock();
                              if (!self || error) return;
                              self->queue.post([weak] {
                                  const auto impl = weak.lock();
                                  if (!impl) return;
                                  {
                                      const std::lock_guard lock(impl->mutex);
                                      if (impl->ref == nullptr) return;
                                      if (DNSServiceProcessResult(impl->ref) != kDNSServiceErr_NoError) return;
                                  }
                                  impl->watch();
                              });
                          });
    }

    void release() {
        const std::lock_guard lock(mutex);
        if (ref == nullptr) return;
        std::error_code ignored;
        socket.release(); // the descriptor belongs to the DNS-SD reference
        DNSServiceRefDeallocate(ref);
        ref = nullptr;
    }

    mutable std::recursive_mutex mutex; // the reply may come back into the registrar
    DNSServiceRef ref = nullptr;
    asio::posix::stream_descriptor socket;
    ExecutorHandle queue;
    Reply reply;
};

DnsSdRegistrar::DnsSdRegistrar() : impl_(std::make_shared<Impl>()) {
    ::setenv("AVAHI_COMPAT_NOWARN", "1", 0); // silence the compatibility-layer banner
}

DnsSdRegistrar::~DnsSdRegistrar() {
    impl_->release();
}

std::int32_t DnsSdRegistrar::registerService(const std::string& name, const std::string& type, std::uint16_t port,
                                             const Bytes& txt, Executor& queue, Reply reply) {
    const std::lock_guard lock(impl_->mutex);
    if (impl_->ref != nullptr) return kDNSServiceErr_AlreadyRegistered;
    impl_->queue = queue.handle();
    impl_->reply = std::move(reply);
    DNSServiceRef ref = nullptr;
    const auto error = DNSServiceRegister(&ref, 0, 0, name.c_str(), type.c_str(), nullptr, nullptr, htons(port),
                                          static_cast<std::uint16_t>(txt.size()), txt.empty() ? nullptr : txt.data(),
                                          &Impl::onRegister, impl_.get());
    if (error != kDNSServiceErr_NoError) return error;
    impl_->ref = ref;
    impl_->socket.assign(DNSServiceRefSockFD(ref));
    impl_->watch();
    return 0;
}

void DnsSdRegistrar::unregister() {
    impl_->release();
}

bool DnsSdRegistrar::isRegistered() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->ref != nullptr;
}

} // namespace kiv
