#pragma once
// What puts the model on the desktop: the tray icon (its picture following the service state),
// the panel (in the tray's popup, or an ordinary window when the desktop has no tray), the
// Diagnostics window, the approval dialog and the appearance. GUI thread.
#include <QObject>
#include <map>
#include <memory>

#include "AppModel.hpp"

class QMessageBox;
class QRect;
class QSystemTrayIcon;

namespace kiv::app {

class LogsView;
class MenuBarView;
class SettingsView;

class DesktopShell final : public QObject {
public:
    DesktopShell();
    ~DesktopShell() override;
    // Fills the environment's UI hooks (approval, appearance, terminate); call before the model exists.
    void prepare(AppEnvironment& env);
    void attach(AppModel& model);
    MenuBarView* panel() { return panel_.get(); }
    SettingsView* settings() { return settings_.get(); }
    LogsView* logs() { return logs_.get(); }
    bool usesTray() const { return tray_ != nullptr; }
    // Open approval dialogs, by device (the tests answer them).
    const std::map<std::string, QMessageBox*>& approvals() const { return approvals_; }

    static void applyAppearance(AppearanceMode mode);

private:
    void ask(const PeerRequest& request, std::function<void(bool)> answer);
    void update();
    void placeBelow(const QRect& icon);

    AppModel* model_ = nullptr;
    std::unique_ptr<MenuBarView> panel_;
    std::unique_ptr<LogsView> logs_;
    std::unique_ptr<SettingsView> settings_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::map<std::string, QMessageBox*> approvals_;
};

} // namespace kiv::app
