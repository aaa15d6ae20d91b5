#pragma once
// Which link's touches reach the desktop. Link handlers hold this, not the session, so a touch
// arriving on a link's queue never keeps a session alive there (its last reference would then be
// dropped on a worker). Set from the main thread, read from any link's queue.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KivHostCore/Input/InputEventManager.hpp"

namespace kiv {

class InputRoute {
public:
    explicit InputRoute(std::shared_ptr<InputEventManager> input) : input_(std::move(input)) {}

    void setActiveLink(std::optional<std::string> linkID) {
        const std::lock_guard lock(mutex_);
        activeLink_ = std::move(linkID);
    }

    // Hands the event on when it came from the active link; false (dropped) otherwise.
    bool deliver(const std::string& fromLink, const InputEvent& event) const {
        {
            const std::lock_guard lock(mutex_);
            if (activeLink_ != fromLink) return false;
        }
        input_->handle(event);
        return true;
    }

private:
    const std::shared_ptr<InputEventManager> input_;
    mutable std::mutex mutex_;
    std::optional<std::string> activeLink_;
};

} // namespace kiv
