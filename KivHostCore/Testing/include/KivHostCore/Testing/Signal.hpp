#pragma once
// A one-shot event between threads, waited on with a deadline: tests wait for a condition to be
// announced instead of polling or sleeping.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kiv::test {

class Signal {
public:
    // Notifies under the lock: a waiter may destroy the signal as soon as it wakes.
    void notify() {
        const std::lock_guard lock(mutex_);
        set_ = true;
        cv_.notify_all();
    }
    // True once notified; false when `timeout` passed first.
    bool waitFor(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return set_; });
    }
    bool isSet() const {
        const std::lock_guard lock(mutex_);
        return set_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

} // namespace kiv::test
