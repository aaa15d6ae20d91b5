// Android devices on USB cables as browser devices: listed while the web link listens, and the
// page shown on one through adb's port forward (no certificate: http://localhost is secure).
#include <fmt/format.h>

#include "AppModel.hpp"

namespace kiv::app {

void AppModel::refreshAndroid() {
    if (!env_.androidDevices || androidListing_) return;
    if (!webLink()) {
        if (!android_.empty()) {
            android_.clear();
            changed();
        }
        return;
    }
    if (!adbQueue_) adbQueue_ = env_.platform->makeQueue("kiv.adb", true);
    androidListing_ = true;
    adbQueue_->post([list = env_.androidDevices, main = env_.main->handle(), alive = std::weak_ptr(alive_), this] {
        auto devices = list();
        main.post([alive, this, devices = std::move(devices)] {
            if (!alive.lock()) return;
            androidListing_ = false;
            if (devices == android_) return;
            android_ = devices;
            changed();
        });
    });
}

void AppModel::showOnAndroid(const std::string& serial) {
    const auto web = webLink();
    if (!env_.showPageOnAndroid || !web || !host_) return;
    if (!adbQueue_) adbQueue_ = env_.platform->makeQueue("kiv.adb", true);
    std::string model = serial;
    for (const auto& device : android_)
        if (device.serial == serial) model = device.model;
    const auto port = host_->webPort();
    log_.info(fmt::format("Showing the web page on {} over USB (adb reverse tcp:{})", model, port));
    androidNote_ = "Opening the page on " + model + "…";
    changed();
    adbQueue_->post([show = env_.showPageOnAndroid, main = env_.main->handle(), alive = std::weak_ptr(alive_), this,
                     serial, model, port] {
        auto shown = show(serial, port);
        main.post([alive, this, shown = std::move(shown), model, port] {
            if (!alive.lock()) return;
            androidNote_ = shown ? fmt::format("{} shows http://localhost:{}/ over its cable: approve it here when "
                                               "it asks",
                                               model, port)
                                 : shown.error();
            if (!shown) log_.warning("Showing the page on Android failed: " + shown.error());
            changed();
        });
    });
}

} // namespace kiv::app
