#include "KivHostCore/Linux/AndroidBridge.hpp"

#include <algorithm>
#include <fmt/format.h>
#include <sstream>

#include "KivHostCore/Linux/ChildProcess.hpp"

namespace kiv {

namespace {
constexpr auto kTimeout = std::chrono::seconds(15); // the first call may start adb's own server

bool safeSerial(const std::string& serial) {
    return !serial.empty() && serial.size() < 128 && serial.find_first_of(" \t\n;'\"`$\\") == std::string::npos &&
           serial[0] != '-';
}
} // namespace

AndroidBridge::AndroidBridge(std::optional<std::string> adb) : adb_(adb ? adb : findProgram("adb")) {}

std::vector<AndroidDevice> AndroidBridge::parseDevices(const std::string& output) {
    std::vector<AndroidDevice> devices;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string serial;
        std::string state;
        if (!(words >> serial >> state) || state != "device" || !safeSerial(serial)) continue;
        AndroidDevice device{serial, serial};
        for (std::string word; words >> word;) {
            if (word.starts_with("model:")) {
                device.model = word.substr(6);
                std::replace(device.model.begin(), device.model.end(), '_', ' ');
            }
        }
        devices.push_back(device);
    }
    return devices;
}

std::vector<AndroidDevice> AndroidBridge::devices() const {
    if (!adb_) return {};
    const auto result = runProgram({*adb_, "devices", "-l"}, {}, kTimeout);
    if (result.exitCode != 0) return {};
    return parseDevices(result.output);
}

std::expected<void, std::string> AndroidBridge::showPage(const std::string& serial, std::uint16_t port) const {
    if (!adb_) return std::unexpected(std::string("adb is not installed"));
    if (!safeSerial(serial)) return std::unexpected("not a device serial: " + serial);
    const auto forward = fmt::format("tcp:{}", port);
    const auto reversed = runProgram({*adb_, "-s", serial, "reverse", forward, forward}, {}, kTimeout);
    if (reversed.exitCode != 0)
        return std::unexpected(fmt::format("adb could not forward port {} on {}: {}", port, serial, reversed.output));
    const auto opened = runProgram({*adb_, "-s", serial, "shell", "am", "start", "-a", "android.intent.action.VIEW",
                                    "-d", fmt::format("http://localhost:{}/", port)},
                                   {}, kTimeout);
    if (opened.exitCode != 0)
        return std::unexpected(fmt::format("forwarded, but the browser did not open on {}: open http://localhost:{}/ "
                                           "there yourself",
                                           serial, port));
    return {};
}

} // namespace kiv
