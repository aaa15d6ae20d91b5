// The fixtures later integration tests rely on: real servers start privately, report
// readiness, and are gone when the fixture is.
#include <filesystem>
#include <gtest/gtest.h>

#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestServers.hpp"

using namespace kiv::test;
using namespace std::chrono_literals;

#define KIV_START_OR_SKIP(var, expr)                                                                                   \
    auto var##Result = (expr);                                                                                         \
    KIV_REQUIRE_STARTED(var##Result);                                                                                  \
    ASSERT_TRUE(var##Result.has_value()) << var##Result.error().message;                                               \
    auto& var = *var##Result

TEST(TestServers, XvfbServersGetTheirOwnDisplaysAndStopByPid) {
    if (!findProgram("xdpyinfo")) KIV_SKIP_OR_FAIL("xdpyinfo is not installed");
    KIV_START_OR_SKIP(first, XvfbServer::start(1024, 768));
    KIV_START_OR_SKIP(second, XvfbServer::start(640, 480));
    EXPECT_NE(first->display(), second->display());

    const auto info = runProgram({"xdpyinfo", "-display", second->display()});
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("640x480 pixels"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("RANDR"), std::string::npos);

    const auto socket = std::filesystem::path("/tmp/.X11-unix") / ("X" + std::to_string(first->displayNumber()));
    EXPECT_TRUE(std::filesystem::exists(socket));
    first->process().stop();
    EXPECT_FALSE(first->process().isRunning());
    EXPECT_NE(runProgram({"xdpyinfo", "-display", first->display()}).exitCode, 0);
}

TEST(TestServers, PulseAudioServerHasItsNullSinkInAPrivateRuntimeFolder) {
    KIV_START_OR_SKIP(pulse, PulseAudioServer::start("speakers"));
    const auto sinks = runProgram({"pactl", "list", "short", "sinks"}, pulse->environment());
    EXPECT_EQ(sinks.exitCode, 0) << sinks.output;
    EXPECT_NE(sinks.output.find("speakers"), std::string::npos) << sinks.output;
    const auto runtime = pulse->runtimePath();
    pulse.reset();
    EXPECT_FALSE(std::filesystem::exists(runtime)) << "the private folder is removed";
}

TEST(TestProcess, StopEscalatesToKillAndRunProgramReportsExitCodes) {
    TempDir dir;
    ProcessOptions options;
    // Ignores SIGTERM, so stop() must escalate.
    options.argv = {*findProgram("sh"), "-c", "trap '' TERM; echo started; while :; do sleep 0.05; done"};
    options.logFile = dir.path() / "log";
    auto child = ChildProcess::start(options);
    ASSERT_TRUE(child.has_value());
    ASSERT_TRUE(waitUntil([&] { return child->log().find("started") != std::string::npos; }, 20s));
    const int status = child->stop(200ms);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; exit 3"}).exitCode, 3);
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; exit 3"}).output, "out\n");
    EXPECT_EQ(runProgram({"kiv-no-such-program"}).exitCode, -1);
}
