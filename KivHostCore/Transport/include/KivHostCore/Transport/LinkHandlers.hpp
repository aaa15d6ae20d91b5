#pragma once
// The handlers a link reports to (control messages, closing, video ready), shared by the Wi-Fi and
// USB links. Every handler runs on the link's queue (the one given to start). Replacing a handler
// is safe from any thread, and once the setter returns the old handler is not running and never
// runs again, so a session that moves to another link hears nothing more from the old one. A
// setter called from inside a handler does not wait for that handler to finish. Handlers must
// not wait for a thread that may be replacing them (they post, never sync).
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivHostCore/Runtime/Executor.hpp"
#include "KivProtocol/ControlMessage.hpp"

namespace kiv {

// One replaceable handler with that guarantee.
template <class... Args>
class ReplaceableHandler {
public:
    using Function = std::function<void(Args...)>;

    void set(Function handler) {
        Function old;
        std::unique_lock lock(mutex_);
        old = std::exchange(handler_, std::move(handler));
        const auto self = std::this_thread::get_id();
        idle_.wait(lock, [&] {
            for (const auto id : running_)
                if (id != self) return false;
            return true;
        });
        lock.unlock(); // `old` (and what it holds) goes outside the lock
    }
    // Runs the current handler on the calling thread; false when there is none.
    bool operator()(Args... args) {
        Function handler;
        {
            const std::lock_guard lock(mutex_);
            if (!handler_) return false;
            handler = handler_;
            running_.push_back(std::this_thread::get_id());
        }
        handler(args...);
        const std::lock_guard lock(mutex_);
        running_.erase(std::find(running_.begin(), running_.end(), std::this_thread::get_id()));
        idle_.notify_all();
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    Function handler_;
    std::vector<std::thread::id> running_;
};

struct LinkHandlers {
    ReplaceableHandler<const ControlMessage&> control;
    ReplaceableHandler<const std::string&> closed; // why the link ended
    ReplaceableHandler<> videoReady;
};

} // namespace kiv
