#pragma once
// Threads that run an io_context: the shared pool serial queues run on, the I/O thread that
// carries every socket and descriptor watch, and the private thread of a queue whose work blocks
// or runs long (encoding, display settle waits), so neither can stall the other.
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace kiv {

class WorkerPool {
public:
    // `name` labels the threads for debuggers and profilers (at most 15 characters are kept).
    explicit WorkerPool(unsigned threads, std::string name = "kiv.worker");
    ~WorkerPool(); // stops and joins the threads; queued work is dropped
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // The process-wide pool for serial queues: between 2 and 4 threads depending on the machine.
    static WorkerPool& shared();
    // The process-wide network thread: socket completions and descriptor watches only; nothing
    // that blocks or computes runs here, so a link's I/O is never queued behind an encode.
    static WorkerPool& io();

    asio::io_context& context();
    unsigned threadCount() const;
    // True on one of this pool's threads.
    bool runsOnThisThread() const;

private:
    // Stops the context and joins the threads (all but the caller's): for the end of the process.
    void stopThreads();

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kiv
