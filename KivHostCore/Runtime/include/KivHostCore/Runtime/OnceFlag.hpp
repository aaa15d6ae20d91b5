#pragma once
// Completion that fires exactly once, whichever of several paths (state change, time-out)
// gets there first. Thread-safe.
#include <mutex>

namespace kiv {

class OnceFlag {
public:
    // True for the first caller only.
    bool tryClaim() {
        const std::lock_guard lock(mutex_);
        if (done_) return false;
        done_ = true;
        return true;
    }

    // Runs `fn` only for the first caller; the call itself happens outside the lock.
    template <class Fn>
    bool run(Fn&& fn) {
        if (!tryClaim()) return false;
        std::forward<Fn>(fn)();
        return true;
    }

    bool isDone() const {
        const std::lock_guard lock(mutex_);
        return done_;
    }

private:
    mutable std::mutex mutex_;
    bool done_ = false;
};

} // namespace kiv
