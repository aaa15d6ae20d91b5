#pragma once
// The main thread's executor: one asio::io_context run by one thread. The host service,
// every session and the configuration managers live here.
#include <memory>
#include <string>

#include "KivHostCore/Runtime/Executor.hpp"

namespace asio {
class io_context;
}

namespace kiv {

class MainLoop final : public Executor {
public:
    MainLoop();
    ~MainLoop() override;
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    // Runs posted work on the calling thread until stop(). Call from one thread only.
    void run();
    // Makes run() return after the task in progress. Any thread.
    void stop();
    bool isRunning() const;

    void post(Task task) override;
    TimerHandle postAfter(Duration delay, Task task) override;
    // From another thread this waits for the loop; never call it while the loop thread waits for you.
    bool sync(Task task) override;
    MonotonicTime now() const override;
    bool isCurrent() const override;
    std::string_view label() const override { return "main"; }

    asio::io_context& context();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace kiv
