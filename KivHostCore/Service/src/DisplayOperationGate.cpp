#include "KivHostCore/Service/DisplayOperationGate.hpp"

#include <memory>

namespace kiv {

std::shared_ptr<DisplayOperationGate> DisplayOperationGate::create(Executor& main) {
    return std::make_shared<DisplayOperationGate>(main);
}

void DisplayOperationGate::run(Body body) {
    if (busy_) {
        waiters_.push_back(std::move(body));
        return;
    }
    busy_ = true;
    enter(std::move(body));
}

void DisplayOperationGate::enter(Body body) {
    // A body that releases twice must not free the gate for two waiters.
    auto once = std::make_shared<bool>(false);
    body([weak = weak_from_this(), once] {
        if (std::exchange(*once, true)) return;
        if (auto self = weak.lock()) self->released();
    });
}

void DisplayOperationGate::released() {
    spacing_ = main_.postAfter(kSpacing, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->waiters_.empty()) {
            self->busy_ = false;
            return;
        }
        auto next = std::move(self->waiters_.front());
        self->waiters_.pop_front();
        self->enter(std::move(next));
    });
}

} // namespace kiv
