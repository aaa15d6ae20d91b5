#include "KivHostCore/Runtime/WorkerPool.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <algorithm>
#include <thread>
#include <vector>

namespace kiv {

struct WorkerPool::Impl {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    std::vector<std::thread> threads;
};

WorkerPool::WorkerPool(unsigned threads) : impl_(std::make_unique<Impl>()) {
    threads = std::max(threads, 1u);
    for (unsigned i = 0; i < threads; ++i) {
        impl_->threads.emplace_back([this] { impl_->context.run(); });
    }
}

WorkerPool::~WorkerPool() {
    impl_->guard.reset();
    impl_->context.stop();
    for (auto& thread : impl_->threads) thread.join();
}

WorkerPool& WorkerPool::shared() {
    // Never destroyed: queues owned by static objects may still post during exit.
    static auto* pool = new WorkerPool(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
    return *pool;
}

asio::io_context& WorkerPool::context() { return impl_->context; }

unsigned WorkerPool::threadCount() const { return static_cast<unsigned>(impl_->threads.size()); }

} // namespace kiv
