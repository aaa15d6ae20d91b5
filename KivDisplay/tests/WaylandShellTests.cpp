// The desktop application in a sway session with no X server at all (sway without Xwayland): it
// runs as a Wayland client of its own, with its panel as a window, rather than failing to find a
// display.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "KivHostCore/Testing/HeadlessSway.hpp"
#include "KivHostCore/Testing/SkipPolicy.hpp"
#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"

namespace kiv {
namespace {

using namespace std::chrono_literals;

TEST(DesktopShellOnWayland, WithoutAnXServerTheAppShowsItsPanelAsAWaylandWindow) {
    auto sway = test::HeadlessSway::start();
    KIV_REQUIRE_STARTED(sway);
    test::TempDir home("kiv-wayland-app");
    const std::vector<std::pair<std::string, std::string>> env{{"WAYLAND_DISPLAY", (*sway)->wayland()},
                                                               {"SWAYSOCK", (*sway)->ipc()},
                                                               {"XDG_RUNTIME_DIR", home.path().string()},
                                                               {"XDG_SESSION_TYPE", "wayland"},
                                                               {"XDG_CURRENT_DESKTOP", "sway"},
                                                               {"DISPLAY", ""},         // no X server, no Xwayland
                                                               {"QT_QPA_PLATFORM", ""}, // Qt chooses, as in a session
                                                               {"XDG_CONFIG_HOME", (home.path() / "config").string()},
                                                               {"XDG_STATE_HOME", (home.path() / "state").string()},
                                                               {"PULSE_SERVER", "unix:/nonexistent/pulse"}};
    auto app =
        test::ChildProcess::start({.argv = {KIV_DISPLAY_BINARY, "--loopback-only", "--control-port",
                                            std::to_string(test::freeLoopbackPort(SOCK_STREAM)), "--video-port",
                                            std::to_string(test::freeLoopbackPort(SOCK_DGRAM)), "--web-port", "0"},
                                   .environment = env,
                                   .logFile = home.path() / "app.log",
                                   .keepFds = {}});
    ASSERT_TRUE(app) << app.error();
    EXPECT_TRUE(test::waitUntil(
        [&] {
            return std::ranges::count((*sway)->windows(), std::string("org.kivdisplay.KivDisplay"),
                                      &test::HeadlessSway::Window::appID) == 1;
        },
        60s, 200ms))
        << app->log();
    EXPECT_FALSE(app->wait(0ms)) << "it runs: " << app->log();
    app->stop(10s);
}

} // namespace
} // namespace kiv
