#pragma once
// A connection's descriptor watched on the network thread, its events read on a serial queue.
// One wait at a time. The reactor is edge-triggered, so bytes that arrived after the last read
// but before a wait was armed raise no new edge: one more read on the queue, after arming, picks
// them up. Internal to the Linux target.
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <functional>
#include <memory>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivHostCore/Runtime/WorkerPool.hpp"

namespace kiv {

class ReadableWatch : public std::enable_shared_from_this<ReadableWatch> {
public:
    // Runs `read` on `queue` whenever `fd` may have something; a `read` that returns false (a lost
    // connection keeps its descriptor readable for good) ends the waiting.
    static std::shared_ptr<ReadableWatch> start(int fd, ExecutorHandle queue, std::function<bool()> read) {
        std::shared_ptr<ReadableWatch> watch(new ReadableWatch(std::move(queue), std::move(read)));
        asio::post(watch->descriptor_.get_executor(), [watch, fd] {
            watch->descriptor_.assign(fd);
            watch->wait();
        });
        return watch;
    }

    // On the queue: no more reads. The descriptor is let go on the network thread, and `close`
    // (which closes it) runs there after, so the reactor never acts on a descriptor number that
    // may already belong to someone else.
    void stop(std::function<void()> close) {
        stopped_ = true;
        asio::post(descriptor_.get_executor(), [self = shared_from_this(), close = std::move(close)] {
            std::error_code ignored;
            self->descriptor_.cancel(ignored);
            self->descriptor_.release();
            if (close) close();
        });
    }

private:
    ReadableWatch(ExecutorHandle queue, std::function<bool()> read)
        : descriptor_(WorkerPool::io().context()), queue_(std::move(queue)), read_(std::move(read)) {}

    // On the network thread.
    void wait() {
        descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                               [self = shared_from_this()](const std::error_code& error) {
                                   if (error || self->stopped_) return;
                                   self->queue_.post([self] {
                                       if (self->stopped_ || !self->read_()) return;
                                       asio::post(self->descriptor_.get_executor(), [self] { self->wait(); });
                                   });
                               });
        queue_.post([self = shared_from_this()] {
            if (!self->stopped_) self->read_();
        });
    }

    asio::posix::stream_descriptor descriptor_; // used on the network thread only
    ExecutorHandle queue_;
    std::function<bool()> read_; // on the queue only
    std::atomic<bool> stopped_{false};
};

} // namespace kiv
