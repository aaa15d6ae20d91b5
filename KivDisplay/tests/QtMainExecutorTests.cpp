// The desktop application's main executor (Qt's event loop) keeps the rules every executor keeps,
// and a sync that gives up never runs its task afterwards.
#include <QCoreApplication>
#include <QMetaObject>
#include <future>
#include <optional>
#include <thread>

#include "KivHostCore/Testing/ExecutorConformance.hpp"
#include "QtMainExecutor.hpp"

using namespace kiv;
using namespace kiv::test::conformance;

namespace {

// Qt's event loop on a thread of its own, so the test's thread is "another thread" to it.
class QtLoop {
public:
    explicit QtLoop(std::chrono::milliseconds syncPatience = std::chrono::seconds(30)) {
        std::promise<void> ready;
        thread_ = std::thread([&] {
            int argc = 1;
            char name[] = "kiv_qt_executor_tests";
            char* argv[] = {name, nullptr};
            QCoreApplication app(argc, argv);
            executor_.emplace(syncPatience);
            ready.set_value();
            QCoreApplication::exec();
            executor_.reset();
        });
        ready.get_future().wait();
    }
    ~QtLoop() {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
        thread_.join();
    }
    app::QtMainExecutor& executor() { return *executor_; }

private:
    std::optional<app::QtMainExecutor> executor_;
    std::thread thread_;
};

class QtDriver : public RealDriver {
public:
    Executor& executor() override { return loop_.executor(); }

private:
    QtLoop loop_;
};

class DriverNames {
public:
    template <class T>
    static std::string GetName(int) {
        return "Qt";
    }
};

} // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Desktop, ExecutorConformance, ::testing::Types<QtDriver>, DriverNames);

namespace {

TEST(QtMainExecutor, ASyncThatGivesUpNeverRunsItsTaskLaterButOneThatStartedIsWaitedFor) {
    QtLoop loop(std::chrono::milliseconds(100));
    auto& main = loop.executor();
    std::promise<void> release;
    auto released = release.get_future().share();
    main.post([released] { released.wait(); }); // the GUI thread is stuck

    {
        int onCallersStack = 0;
        EXPECT_FALSE(main.sync([&] { onCallersStack = 1; })) << "not started within the patience";
        release.set_value();
        EXPECT_TRUE(main.sync([] {})) << "the loop runs again";
        EXPECT_EQ(onCallersStack, 0) << "the abandoned task did not run once the loop freed up";
    }

    // A task that starts before the patience runs out is waited for, however long it takes.
    std::atomic<bool> finished{false};
    EXPECT_TRUE(main.sync([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        finished = true;
    }));
    EXPECT_TRUE(finished);
}

} // namespace
