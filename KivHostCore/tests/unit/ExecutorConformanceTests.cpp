// The executor suite run against the Asio-backed main loop and serial queue, and the manual
// executor that stands in for them in virtual time.
#include <thread>

#include "KivHostCore/Runtime/MainLoop.hpp"
#include "KivHostCore/Runtime/SerialQueue.hpp"
#include "KivHostCore/Testing/ExecutorConformance.hpp"
#include "KivHostCore/Testing/ManualExecutor.hpp"

using namespace kiv;
using namespace kiv::test::conformance;

namespace {

class MainLoopDriver : public RealDriver {
public:
    MainLoopDriver() : thread_([this] { loop_.run(); }) {}
    ~MainLoopDriver() override {
        loop_.stop();
        thread_.join();
    }
    Executor& executor() override { return loop_; }

private:
    MainLoop loop_;
    std::thread thread_;
};

class SerialQueueDriver : public RealDriver {
public:
    Executor& executor() override { return queue_; }

private:
    SerialQueue queue_{"kiv.test"};
};

class ManualDriver : public Driver {
public:
    Executor& executor() override { return manual_; }
    void advance(Duration by) override { manual_.advance(by); }
    void drain() override { manual_.runUntilIdle(); }

private:
    ManualExecutor manual_;
};

using Drivers = ::testing::Types<ManualDriver, MainLoopDriver, SerialQueueDriver>;
class DriverNames {
public:
    template <class T>
    static std::string GetName(int) {
        if constexpr (std::is_same_v<T, ManualDriver>) return "Manual";
        if constexpr (std::is_same_v<T, MainLoopDriver>) return "MainLoop";
        return "SerialQueue";
    }
};

} // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Host, ExecutorConformance, Drivers, DriverNames);
