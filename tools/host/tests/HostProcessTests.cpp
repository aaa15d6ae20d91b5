// kivdisplay-host as a process on a private Xvfb: it serves a device, leaves no monitor behind and
// exits cleanly on SIGTERM, however sessions came and went before.
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "HostFixture.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"

namespace {

TEST(HostProcess, ServesADeviceAndLeavesNoMonitorBehindOnSigterm) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-host-home");
    // A run that crashed while it held the output silenced: the next start undoes it (the device is
    // gone here, so only the note goes).
    const auto config = home.path() / "config" / "kivdisplay" / "kivdisplay-host.json";
    std::filesystem::create_directories(config.parent_path());
    std::ofstream(config) << R"({"kiv.audio.mutedDevice": {"uid": "speakers", "volume": 0.5}, "KivFrameLog": true})";
    auto started = HostProcess::start((*xvfb)->display(), home.path());
    ASSERT_TRUE(started) << started.error();
    auto& host = started->process;
    const auto control = started->controlPort;

    WiFiDevice device(helloFor("process-0004", "CI iPad"), control);
    ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline))
        << host.log();
    EXPECT_TRUE(waitUntil([&] { return device.seen.meanLuma().has_value(); }, kDeadline)) << "a decoded picture";
    std::stringstream stored;
    stored << std::ifstream(config).rdbuf();
    EXPECT_EQ(stored.str().find("kiv.audio.mutedDevice"), std::string::npos) << stored.str();
    EXPECT_NE(stored.str().find("hostID"), std::string::npos) << "the rest of the settings stay";
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 1);

    const int status = host.stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << host.log();
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 0) << "no KivDisplay monitor left";
    EXPECT_NE(host.log().find("status: streaming"), std::string::npos) << host.log();
    EXPECT_NE(host.log().find("Frame logging on"), std::string::npos) << "the stored switch is read";
}

// A session released while the host stops used to be destroyed from the main loop's queue after
// the service (and the queues it uses) had gone: a crash on SIGTERM in about one stop in three.
TEST(HostProcess, ExitsCleanlyOnSigtermAfterSessionsComeAndGoEveryTime) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    for (int run = 0; run < 5; ++run) {
        test::TempDir home("kiv-host-home");
        auto started = HostProcess::start((*xvfb)->display(), home.path(), {"--approve-all", "--grace", "0"});
        ASSERT_TRUE(started) << started.error();
        auto& host = started->process;
        auto hello = helloFor("sigterm-0005", "Coming and going");
        for (int visit = 0; visit < 2; ++visit) {
            WiFiDevice device(hello, started->controlPort);
            ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::connect) == 1; }, kDeadline))
                << host.log();
            hello.token = device.seen.connects().front().token;
        }
        // The last device has just gone: its session is being released as the host stops.
        const int status = host.stop(20s);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": " << status << "\n"
                                                                   << host.log();
    }
    EXPECT_EQ(kivMonitors((*xvfb)->display()), 0);
}

// A host killed with its monitors up leaves them on the X server; the next host takes them back
// (monitors, the widened desktop, the modes), so kills do not pile up until a device gets a
// mirror of the desktop instead of a monitor of its own.
TEST(HostProcess, MonitorsLeftByAKilledHostAreTakenBackByTheNext) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    const auto display = (*xvfb)->display();
    const auto modes = [&] {
        const auto listing = test::runProgram({"xrandr", "--verbose"}, {{"DISPLAY", display}}).output;
        int count = 0;
        for (auto at = listing.find("\"KIV-"); at != std::string::npos; at = listing.find("\"KIV-", at + 1))
            ++count;
        return count;
    };
    for (int run = 0; run < 3; ++run) {
        test::TempDir home("kiv-host-home");
        auto started = HostProcess::start(display, home.path());
        ASSERT_TRUE(started) << started.error();
        auto& host = started->process;
        EXPECT_EQ(kivMonitors(display), 0) << "run " << run << ": the last run's monitors were taken back";
        EXPECT_EQ(modes(), 0) << "and their modes";
        WiFiDevice device(helloFor("killed-000" + std::to_string(run), "Killed host"), started->controlPort);
        ASSERT_TRUE(waitUntil([&] { return kivMonitors(display) == 1; }, kDeadline)) << host.log();
        EXPECT_TRUE(waitUntil([&] { return device.seen.meanLuma().has_value(); }, kDeadline))
            << "a monitor of its own, not a mirror: " << host.log();
        // Killed mid-session.
        ::kill(host.pid(), SIGKILL);
        host.stop(5s);
        EXPECT_EQ(kivMonitors(display), 1) << "a killed host cleans nothing";
    }
    test::TempDir home("kiv-host-home");
    auto last = HostProcess::start(display, home.path());
    ASSERT_TRUE(last) << last.error();
    EXPECT_EQ(kivMonitors(display), 0);
    EXPECT_EQ(modes(), 0);
    EXPECT_NE(last->process.log().find("a previous host left on the X server"), std::string::npos);
    const int status = last->process.stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
