#pragma once
// The Settings window: Display, Sound, Touch, Connection, Appearance, Advanced and Paired Devices,
// each acting on the selected device (or the defaults) through AppModel. It is rebuilt only when
// something it shows changed, so a once-a-second status does not pull a list out from under the user.
#include <QWidget>
#include <functional>
#include <string>

#include "AppModel.hpp"

class QVBoxLayout;

namespace kiv::app {

class SettingsView final : public QWidget {
public:
    explicit SettingsView(AppModel& model, QWidget* parent = nullptr);

    std::function<void(const std::string& remedy)> showRemedy;

    void refresh();

private:
    QVBoxLayout* section(const char* title);
    void display();
    void sound();
    void touch();
    void connection();
    void startup();
    void appearance();
    void advanced();
    void pairedDevices();
    std::string signature() const; // everything the window shows

    AppModel& model_;
    QVBoxLayout* layout_;
    QWidget* content_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    bool refreshPending_ = false;
    std::string shown_;
    std::vector<PairedDevice> paired_;
};

} // namespace kiv::app
