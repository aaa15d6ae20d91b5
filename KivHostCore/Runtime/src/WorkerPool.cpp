#include "KivHostCore/Runtime/WorkerPool.hpp"

#include <pthread.h>

#include <algorithm>
#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstdlib>
#include <thread>
#include <vector>

namespace kiv {

namespace {
thread_local const WorkerPool* tPool = nullptr;
} // namespace

struct WorkerPool::Impl {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::vector<std::thread> threads;
};

WorkerPool::WorkerPool(unsigned threads, std::string name) : impl_(std::make_unique<Impl>()) {
    threads = std::max(threads, 1u);
    name.resize(std::min<std::size_t>(name.size(), 15));
    for (unsigned i = 0; i < threads; ++i) {
        impl_->threads.emplace_back([this, name] {
            ::pthread_setname_np(::pthread_self(), name.c_str());
            tPool = this;
            impl_->context.run();
        });
    }
}

WorkerPool::~WorkerPool() {
    impl_->guard.reset();
    impl_->context.stop();
    bool selfDestroyed = false;
    for (auto& thread : impl_->threads) {
        if (!thread.joinable()) continue;
        if (thread.get_id() == std::this_thread::get_id()) {
            selfDestroyed = true;
            thread.detach();
        } else {
            thread.join();
        }
    }
    // Destroyed by its own work: that thread still unwinds through the context, which must
    // outlive it, so the context is left behind (a few hundred bytes, once).
    if (selfDestroyed) static_cast<void>(impl_.release());
}

WorkerPool& WorkerPool::shared() {
    // Never destroyed: queues owned by static objects may still post during exit.
    static auto* pool = new WorkerPool(std::clamp(std::thread::hardware_concurrency(), 2u, 4u), "kiv.worker");
    return *pool;
}

WorkerPool& WorkerPool::io() {
    static auto* pool = [] {
        // Sockets complete with asio's own error categories, which are statics destroyed at exit
        // while this pool's thread could still be handling a completion. Made first, they are
        // destroyed after the handler below has stopped that thread.
        static_cast<void>(asio::error::get_misc_category());
        static_cast<void>(asio::error::get_netdb_category());
        static_cast<void>(asio::error::get_addrinfo_category());
        auto* made = new WorkerPool(1, "kiv.io");
        std::atexit([] { WorkerPool::io().stopThreads(); });
        return made;
    }();
    return *pool;
}

void WorkerPool::stopThreads() {
    impl_->guard.reset();
    impl_->context.stop();
    for (auto& thread : impl_->threads)
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

asio::io_context& WorkerPool::context() {
    return impl_->context;
}

unsigned WorkerPool::threadCount() const {
    return static_cast<unsigned>(impl_->threads.size());
}

bool WorkerPool::runsOnThisThread() const {
    return tPool == this;
}

} // namespace kiv
