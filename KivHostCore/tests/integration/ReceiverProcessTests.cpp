// kivdisplay-receiver against kivdisplay-host, both as processes on a private Xvfb: pairing once
// and coming back with the stored token, a refusal's message and exit status, and a recording that
// plays back at the announced size.
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "HostFixture.hpp"

namespace {

struct ReceiverRun {
    int status = -1;
    std::string output;
    nlohmann::json summary; // the last line
};

ReceiverRun runReceiver(const HostProcess& host, const std::filesystem::path& home, std::vector<std::string> extra) {
    std::vector<std::string> argv{KIV_RECEIVER_BINARY, "--headless", "--host", "127.0.0.1:" + std::to_string(host.controlPort),
                                  "--identity", (home / "receiver.json").string(), "--screen", "1366x1024@2"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto result = test::runProgram(argv, {}, 60s);
    ReceiverRun run{result.exitCode, result.output, {}};
    const auto lastLine = result.output.rfind('{');
    if (lastLine != std::string::npos) run.summary = nlohmann::json::parse(result.output.substr(lastLine), nullptr, false);
    return run;
}

TEST(ReceiverProcess, PairsOnceComesBackWithItsTokenAndRecordsAPlayableStream) {
    auto xvfb = test::XvfbServer::start();
    if (!xvfb) GTEST_SKIP() << xvfb.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-home");
    auto host = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(host) << host.error();

    const auto recording = home.path() / "stream.h264";
    const auto first = runReceiver(*host, home.path(), {"--seconds", "3", "--record", recording.string()});
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("Waiting for approval on 127.0.0.1"), std::string::npos) << first.output;
    ASSERT_TRUE(first.summary.is_object()) << first.output;
    EXPECT_GE(first.summary.value("decoded", 0), 1) << first.output;
    EXPECT_GE(first.summary.value("keyframes", 0), 1) << first.output;

    // The recording plays back, at the size the host announced.
    const auto probe = test::runProgram({"ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                         recording.string()});
    EXPECT_EQ(probe.exitCode, 0) << probe.output;
    const auto size = first.summary.value("size", std::string());
    ASSERT_FALSE(size.empty());
    EXPECT_NE(probe.output.find(size.substr(0, size.find('x')) + "," + size.substr(size.find('x') + 1)), std::string::npos)
        << probe.output << " vs " << size;
    EXPECT_NE(first.output.find(size.substr(0, size.find('x')) + "×" + size.substr(size.find('x') + 1)), std::string::npos)
        << "the decoded size is the announced one: " << first.output;

    EXPECT_TRUE(waitUntil([&] { return host->process.log().find("Client disconnected: receiver stopped") != std::string::npos; }, kDeadline))
        << "a receiver that stops says goodbye";

    // Paired: the second run goes straight to the stream.
    const auto second = runReceiver(*host, home.path(), {"--seconds", "2"});
    EXPECT_EQ(second.status, 0) << second.output;
    EXPECT_EQ(second.output.find("Waiting for approval"), std::string::npos) << second.output;
    EXPECT_GE(second.summary.value("decoded", 0), 1) << second.output;
    EXPECT_NE(host->process.log().find("Device already paired, auto-accept"), std::string::npos) << host->process.log();
}

TEST(ReceiverProcess, ARefusalEndsWithItsOwnMessageAndStatus) {
    auto xvfb = test::XvfbServer::start();
    if (!xvfb) GTEST_SKIP() << xvfb.error().message;
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-receiver-refused");
    auto host = HostProcess::start((*xvfb)->display(), home.path(), {}); // no terminal, no --approve-all: refused
    ASSERT_TRUE(host) << host.error();
    const auto run = runReceiver(*host, home.path(), {"--seconds", "20"});
    EXPECT_EQ(run.status, 10 + static_cast<int>(RejectReason::denied)) << run.output;
    EXPECT_NE(run.output.find("refused this device"), std::string::npos) << run.output;
}

} // namespace
