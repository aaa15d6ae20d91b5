#pragma once
// The device panel: what the tray icon opens (or a window, without a tray). It shows the model's
// state in the panel's order — header, notices, USB notices, feedback, device list, the selected
// device's pickers, buttons — and every control calls an AppModel operation. Rebuilt on change.
#include <QWidget>
#include <functional>

#include "AppModel.hpp"

class QVBoxLayout;

namespace kiv::app {

class MenuBarView final : public QWidget {
public:
    MenuBarView(AppModel& model, QWidget* parent = nullptr);

    std::function<void()> openSettings;
    std::function<void()> openDiagnostics;
    std::function<void(const std::string& remedy)> showRemedy; // the Linux stand-in for a settings pane

    void refresh();

private:
    void header();
    void notices();
    void feedback();
    void webInvite();
    void deviceList();
    void pickers();
    void buttons();
    void fitContent();

    AppModel& model_;
    QVBoxLayout* layout_;
    QWidget* content_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    bool refreshPending_ = false;
};

// The header's title and subtitle for a state (also used for the tray's tooltip).
std::pair<std::string, std::string> headerText(const AppModel& model);

} // namespace kiv::app
