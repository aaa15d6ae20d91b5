// kivdisplay-host as a process on a private Xvfb: it serves a device, leaves no monitor behind and
// exits cleanly on SIGTERM, however sessions came and went before.
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <optional>
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

// Run as a service (no terminal, no --approve-all), a new device is refused and the output, which
// is what the journal shows, says why and what to do.
TEST(HostProcess, WithoutATerminalANewDeviceIsRefusedAndTheOutputSaysHowToApproveIt) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::TempDir home("kiv-host-home");
    auto started = HostProcess::start((*xvfb)->display(), home.path(), {});
    ASSERT_TRUE(started) << started.error();
    WiFiDevice device(helloFor("unasked-0006", "Kitchen Tablet"), started->controlPort);
    ASSERT_TRUE(waitUntil([&] { return device.seen.count(ControlMessage::Case::reject) == 1; }, kDeadline))
        << started->process.log();
    EXPECT_EQ(device.seen.count(ControlMessage::Case::connect), 0);
    EXPECT_TRUE(waitUntil([&] { return started->process.log().find("Refused Kitchen Tablet") != std::string::npos; },
                          kDeadline));
    EXPECT_NE(started->process.log().find("--approve-all"), std::string::npos) << started->process.log();
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

// The guard process a host starts with takes its monitors back when it is killed; where the guard
// went too (killed with it), the next host takes them back (monitors, the widened desktop, the
// modes), so kills do not pile up until a device gets a mirror of the desktop instead of a
// monitor of its own.
TEST(HostProcess, MonitorsLeftByAKilledHostAreTakenBackByItsGuardElseByTheNextHost) {
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
        // Killed mid-session: the first time alone, then with its guard.
        const auto guard = childOf(host.pid());
        ASSERT_TRUE(guard) << "the host runs with its guard";
        if (run > 0) ::kill(*guard, SIGKILL);
        ::kill(host.pid(), SIGKILL);
        host.stop(5s);
        if (run == 0) {
            EXPECT_TRUE(waitUntil([&] { return kivMonitors(display) == 0 && modes() == 0; }, kDeadline))
                << "the guard took them back: "
                << test::runProgram({"xrandr", "--verbose", "--listmonitors"}, {{"DISPLAY", display}}).output
                << home.path() << "/state/kivdisplay/logs/current.log:\n"
                << test::runProgram({"tail", "-n", "30", (home.path() / "state/kivdisplay/logs/current.log").string()})
                       .output;
            EXPECT_TRUE(waitUntil([&] { return ended(*guard); }, kDeadline)) << "and ended";
        } else {
            EXPECT_EQ(kivMonitors(display), 1) << "nothing cleaned them";
        }
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

// Kills at the worst moments: while two devices stream, then while a monitor is being made. Each
// next host starts with no monitor of ours on the X server, and both devices come back with the
// tokens they were given, with no one there to approve them again.
TEST(HostProcess, AHostKilledWhileDevicesStreamOrAMonitorIsMadeIsFollowedByOneTheyRejoinWithTheirTokens) {
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    const auto display = (*xvfb)->display();
    test::TempDir home("kiv-host-kills"); // one home: the pairings must survive the kills
    std::vector<Hello> hellos{helloFor("kill-dev-0001", "First iPad"), helloFor("kill-dev-0002", "Second iPad")};
    const auto occurrences = [](const std::string& text, const std::string& what) {
        int count = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++count;
        return count;
    };
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        // Only the first run approves: later ones have no one to ask, so only stored tokens get in.
        auto started = HostProcess::start(
            display, home.path(), run == 0 ? std::vector<std::string>{"--approve-all"} : std::vector<std::string>{});
        ASSERT_TRUE(started) << started.error();
        auto& host = started->process;
        EXPECT_EQ(kivMonitors(display), 0) << "nothing of the killed run is left\n" << host.log();
        std::vector<std::unique_ptr<WiFiDevice>> devices;
        for (const auto& hello : hellos) {
            devices.push_back(std::make_unique<WiFiDevice>(hello, started->controlPort));
            // One approval at a time: the first run pairs them one after the other.
            if (run == 0) {
                ASSERT_TRUE(waitUntil([&] { return devices.back()->seen.meanLuma().has_value(); }, kDeadline))
                    << host.log();
            }
        }
        if (run == 1) {
            // Killed as the second monitor is being made.
            ASSERT_TRUE(waitUntil([&] { return occurrences(host.log(), "virtual display via") >= 2; }, kDeadline,
                                  std::chrono::milliseconds(1)))
                << host.log();
            killWithGuard(host);
            continue;
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            auto& seen = devices[i]->seen;
            ASSERT_TRUE(waitUntil([&] { return seen.meanLuma().has_value(); }, kDeadline)) << host.log();
            ASSERT_EQ(seen.connects().size(), 1u);
            if (run == 0) hellos[i].token = seen.connects().front().token;
        }
        EXPECT_EQ(kivMonitors(display), 2) << "a monitor each, not a mirror\n" << host.log();
        const auto placed = test::deviceMonitors(display);
        ASSERT_FALSE(placed.empty());
        EXPECT_EQ(std::ranges::min(placed, {}, [](const auto& m) { return m[0]; })[0], 1024)
            << "right of the desktop, back to its own width";
        if (run == 0) {
            killWithGuard(host); // both streaming
            continue;
        }
        const int status = host.stop(20s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host.log();
        EXPECT_EQ(kivMonitors(display), 0);
    }
}

// System sleep as logind announces it, on a private bus standing in for the system bus: the stream
// pauses in the same session and comes back on wake.
TEST(HostProcess, ASystemSleepPausesTheStreamAndTheWakeResumesItInTheSameSession) {
    const auto daemon = test::findProgram("dbus-daemon");
    const auto send = test::findProgram("dbus-send");
    if (!daemon || !send) KIV_SKIP_OR_FAIL("dbus-daemon is not installed (scripts/install-deps installs it)");
    auto xvfb = test::XvfbServer::start();
    KIV_REQUIRE_STARTED(xvfb);
    test::shrinkXvfbDesktop((*xvfb)->display(), 1024, 768);
    test::TempDir home("kiv-host-sleep");
    const auto address = "unix:path=" + (home.path() / "system_bus").string();
    auto bus = test::ChildProcess::start({.argv = {*daemon, "--session", "--nofork", "--address=" + address},
                                          .environment = {},
                                          .logFile = home.path() / "bus.log",
                                          .keepFds = {}});
    ASSERT_TRUE(bus) << bus.error();
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(home.path() / "system_bus"); }, kDeadline))
        << bus->log();
    auto started = HostProcess::start((*xvfb)->display(), home.path(), {"--approve-all"}, "unix:/nonexistent/pulse", 0,
                                      {{"DBUS_SYSTEM_BUS_ADDRESS", address}});
    ASSERT_TRUE(started) << started.error();
    auto& host = started->process;
    const auto said = [&](const std::string& text) {
        return waitUntil([&] { return host.log().find(text) != std::string::npos; }, kDeadline);
    };
    const auto announce = [&](bool sleeping) {
        const auto sent = test::runProgram({*send, "--bus=" + address, "--type=signal", "/org/freedesktop/login1",
                                            "org.freedesktop.login1.Manager.PrepareForSleep",
                                            sleeping ? "boolean:true" : "boolean:false"});
        ASSERT_EQ(sent.exitCode, 0) << sent.output;
    };
    WiFiDevice device(helloFor("sleeper-0001", "Sleepy iPad"), started->controlPort);
    ASSERT_TRUE(waitUntil([&] { return device.seen.meanLuma().has_value(); }, kDeadline)) << host.log();

    announce(true);
    ASSERT_TRUE(said("Mac will sleep")) << host.log();
    const auto before = device.seen.pictureCount();
    announce(false);
    ASSERT_TRUE(said("Mac did wake")) << host.log();
    EXPECT_TRUE(waitUntil([&] { return device.seen.pictureCount() > before; }, kDeadline))
        << "pictures again after the wake\n"
        << host.log();
    EXPECT_EQ(device.seen.count(ControlMessage::Case::connect), 1) << "the same session";
    const int status = host.stop(20s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << host.log();
}

} // namespace
