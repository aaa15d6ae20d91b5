#include "KivHostCore/Testing/ManualExecutor.hpp"

#include <cstdio>
#include <cstdlib>

namespace kiv {

namespace {
// A test whose work keeps re-posting itself forever is a bug; stop it loudly.
constexpr std::size_t kMaxTasksPerRun = 10'000'000;
} // namespace

ManualExecutor::ManualExecutor(std::string label, MonotonicTime start) : label_(std::move(label)), now_(start) {}

void ManualExecutor::post(Task task) {
    ready_.push_back(std::move(task));
}

TimerHandle ManualExecutor::postAfter(Duration delay, Task task) {
    return timers_.add(now_ + std::max(delay, Duration::zero()), std::move(task)).handle;
}

bool ManualExecutor::sync(Task task) {
    if (depth_ == 0) {
        // From outside, a real executor finishes the work queued ahead of the caller first.
        std::deque<Task> ahead;
        ahead.swap(ready_);
        while (!ahead.empty()) {
            auto next = std::move(ahead.front());
            ahead.pop_front();
            runTask(next);
        }
    }
    runTask(task);
    return true;
}

void ManualExecutor::runTask(Task& task) {
    inTask([&] { task(); });
}

bool ManualExecutor::isCurrent() const {
    return depth_ > 0 && std::this_thread::get_id() == owner_;
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t ran = 0;
    while (true) {
        while (!ready_.empty()) {
            auto task = std::move(ready_.front());
            ready_.pop_front();
            runTask(task);
            if (++ran > kMaxTasksPerRun) {
                std::fprintf(stderr, "ManualExecutor(%s): work never becomes idle\n", label_.c_str());
                std::abort();
            }
        }
        auto due = timers_.takeNext(now_);
        if (!due) return ran;
        fire(*due->second);
        ++ran;
    }
}

void ManualExecutor::advance(Duration by) {
    const MonotonicTime target = now_ + std::max(by, Duration::zero());
    runUntilIdle();
    while (auto next = timers_.takeNext(target)) {
        now_ = std::max(now_, next->first);
        fire(*next->second);
        runUntilIdle();
    }
    now_ = target;
    runUntilIdle();
}

void ManualExecutor::fire(timer::TimerState& state) {
    inTask([&] { state.fire(); });
}

std::optional<Duration> ManualExecutor::nextPendingDelay() {
    const auto due = timers_.nextDue();
    if (!due) return std::nullopt;
    return std::max(*due - now_, Duration::zero());
}

bool ManualExecutor::step() {
    if (!ready_.empty()) {
        auto task = std::move(ready_.front());
        ready_.pop_front();
        runTask(task);
        return true;
    }
    const auto due = timers_.nextDue();
    if (!due) return false;
    now_ = std::max(now_, *due);
    if (auto next = timers_.takeNext(now_)) fire(*next->second);
    return true;
}

bool ManualExecutor::runNextTimer() {
    const auto delay = nextPendingDelay();
    if (!delay) return false;
    advance(*delay);
    return true;
}

} // namespace kiv
