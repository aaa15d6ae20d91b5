#pragma once
// Frames go from the links' threads to a decoding thread of their own, so a socket is read again
// at once instead of after a decode (and a recording's write). When decoding falls behind by more
// than kDepth frames, what waits is dropped and the next frame counts them as lost, which makes
// the session ask for a keyframe: a late picture is worth less than a current one.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "KivProtocol/ByteOrder.hpp"

namespace kiv::receiver {

struct QueuedFrame {
    std::uint32_t frameID = 0;
    bool isKeyframe = false;
    std::uint64_t captureTimeUs = 0;
    Bytes data;
    std::int64_t framesLostBefore = 0;
    std::uint64_t completedAtUs = 0;
};

class DecodeQueue {
public:
    static constexpr std::size_t kDepth = 8;

    explicit DecodeQueue(std::function<void(const QueuedFrame&)> decode)
        : decode_(std::move(decode)), thread_([this] { loop(); }) {}
    ~DecodeQueue() { // frames still waiting are dropped
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        thread_.join();
    }
    DecodeQueue(const DecodeQueue&) = delete;
    DecodeQueue& operator=(const DecodeQueue&) = delete;

    // Any thread.
    void push(QueuedFrame frame) {
        {
            const std::lock_guard lock(mutex_);
            if (waiting_.size() >= kDepth) {
                frame.framesLostBefore += static_cast<std::int64_t>(waiting_.size());
                waiting_.clear();
            }
            waiting_.push_back(std::move(frame));
        }
        ready_.notify_one();
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            ready_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            auto frame = std::move(waiting_.front());
            waiting_.pop_front();
            lock.unlock();
            decode_(frame);
            lock.lock();
        }
    }

    std::function<void(const QueuedFrame&)> decode_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QueuedFrame> waiting_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest exists
};

} // namespace kiv::receiver
