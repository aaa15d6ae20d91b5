#pragma once
// An Android tablet on a USB cable as a browser device without a certificate prompt: adb forwards
// the tablet's localhost:PORT to this computer's web port (http://localhost is a secure context),
// and opens that address in the tablet's browser. Blocking: call off the main thread.
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace kiv {

struct AndroidDevice {
    std::string serial;
    std::string model; // "Pixel Tablet", or the serial when adb does not say
    bool operator==(const AndroidDevice&) const = default;
};

class AndroidBridge {
public:
    // `adb`: the program, else the one on the PATH.
    explicit AndroidBridge(std::optional<std::string> adb = std::nullopt);
    bool available() const { return adb_.has_value(); }
    // Devices attached and authorised for debugging ("device" in `adb devices -l`).
    std::vector<AndroidDevice> devices() const;
    // `adb reverse tcp:PORT tcp:PORT`, then the page opened in the device's browser.
    std::expected<void, std::string> showPage(const std::string& serial, std::uint16_t port) const;
    // The lines of `adb devices -l` that are usable devices.
    static std::vector<AndroidDevice> parseDevices(const std::string& output);

private:
    std::optional<std::string> adb_;
};

} // namespace kiv
