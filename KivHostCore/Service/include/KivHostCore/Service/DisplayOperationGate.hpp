#pragma once
// Serialises display operations (creation, mode changes) across every session of the host and
// keeps 250 ms between the end of one and the start of the next, so the display system settles.
// Main-executor confined.
#include <deque>
#include <functional>
#include <memory>

#include "KivHostCore/Runtime/Executor.hpp"

namespace kiv {

class DisplayOperationGate : public std::enable_shared_from_this<DisplayOperationGate> {
public:
    static constexpr Duration kSpacing = std::chrono::milliseconds(250);
    using Release = std::function<void()>;
    // The body runs when the gate is free and calls `release` once, when its operation is over.
    using Body = std::function<void(Release release)>;

    static std::shared_ptr<DisplayOperationGate> create(Executor& main);
    explicit DisplayOperationGate(Executor& main) : main_(main) {} // use create()

    void run(Body body);
    bool isBusy() const { return busy_; }

private:
    void enter(Body body);
    void released();

    Executor& main_;
    bool busy_ = false;
    std::deque<Body> waiters_;
    ScopedTimer spacing_;
};

} // namespace kiv
