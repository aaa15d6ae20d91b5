#pragma once
// The shared worker threads that serial queues and their timers run on.
#include <memory>

namespace asio {
class io_context;
}

namespace kiv {

class WorkerPool {
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool(); // stops and joins the threads; queued work is dropped
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process-wide pool: between 2 and 4 threads depending on the machine.
    static WorkerPool& shared();

    asio::io_context& context();
    unsigned threadCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
