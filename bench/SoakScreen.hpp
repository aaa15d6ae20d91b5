// The soak's X screen: a picture that keeps changing on every device's monitor, and the monitors
// of ours still listed (what a host must not leave behind).
#pragma once

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "KivHostCore/Testing/TestProcess.hpp"
#include "KivHostCore/Testing/TestServers.hpp"
#include "KivHostCore/Testing/XPainter.hpp"

namespace kiv::soak {

// Every monitor of ours on `display` ("KIV-…", the desktop's own "KIV-MAIN" included).
inline std::vector<std::string> ourMonitors(const std::string& display) {
    const auto list = test::runProgram({"xrandr", "--listmonitors"}, {{"DISPLAY", display}}).output;
    static const std::regex name(R"(\s(KIV-\S+))");
    std::vector<std::string> found;
    for (std::sregex_iterator it(list.begin(), list.end(), name), end; it != end; ++it)
        found.push_back((*it)[1]);
    return found;
}

// Colour bars with a square sweeping across each device's monitor, 30 times a second, until
// `painting` is false.
inline void paintDevices(const std::string& display, const std::atomic<bool>& painting) {
    using namespace std::chrono_literals;
    test::Painter painter(display);
    std::vector<std::array<int, 4>> monitors;
    auto listed = std::chrono::steady_clock::now() - 1h;
    for (int frame = 0; painting; ++frame) {
        if (std::chrono::steady_clock::now() - listed > 1s) {
            monitors = test::deviceMonitors(display);
            listed = std::chrono::steady_clock::now();
        }
        for (const auto& [x, y, w, h] : monitors) {
            const int side = std::max(h / 5, 16);
            painter.fill(0x203040u + static_cast<std::uint32_t>(frame % 64) * 0x010203u, x, y, w, h, false);
            painter.fill(0xFFFFFF, x + (frame * 12) % std::max(w - side, 1), y + h / 2 - side / 2, side, side, false);
        }
        painter.flush();
        std::this_thread::sleep_for(33ms);
    }
}

} // namespace kiv::soak
