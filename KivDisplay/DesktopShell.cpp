#include "DesktopShell.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QSystemTrayIcon>

#include "LogsView.hpp"
#include "MenuBarView.hpp"
#include "SettingsView.hpp"

// The icons live in this static library; a resource there is only linked in when referenced.
static void initIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace kiv::app {

DesktopShell::DesktopShell() {
    initIconResources();
}
DesktopShell::~DesktopShell() {
    for (auto& [id, box] : approvals_)
        delete box;
}

void DesktopShell::applyAppearance(AppearanceMode mode) {
    // The desktop's own style and palette, which follow its colour scheme, as found at start-up.
    static const QString systemStyle = QApplication::style()->name();
    static const QPalette systemPalette = QApplication::palette();
    if (mode == AppearanceMode::system) {
        if (QApplication::style()->name() != systemStyle) QApplication::setStyle(QStyleFactory::create(systemStyle));
        QApplication::setPalette(systemPalette);
        return;
    }
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QPalette palette = QApplication::style()->standardPalette();
    if (mode == AppearanceMode::dark) {
        palette.setColor(QPalette::Window, QColor(37, 37, 38));
        palette.setColor(QPalette::WindowText, QColor(230, 230, 230));
        palette.setColor(QPalette::Base, QColor(30, 30, 30));
        palette.setColor(QPalette::AlternateBase, QColor(45, 45, 48));
        palette.setColor(QPalette::Text, QColor(230, 230, 230));
        palette.setColor(QPalette::Button, QColor(50, 50, 52));
        palette.setColor(QPalette::ButtonText, QColor(230, 230, 230));
        palette.setColor(QPalette::Highlight, QColor(41, 128, 185));
        palette.setColor(QPalette::HighlightedText, Qt::white);
    }
    QApplication::setPalette(palette);
}

void DesktopShell::prepare(AppEnvironment& env) {
    env.askApproval = [this](const PeerRequest& request, std::function<void(bool)> answer) {
        ask(request, std::move(answer));
    };
    env.applyAppearance = [](AppearanceMode mode) { applyAppearance(mode); };
    env.terminate = [] { QApplication::quit(); };
}

void DesktopShell::attach(AppModel& model) {
    model_ = &model;
    panel_ = std::make_unique<MenuBarView>(model);
    panel_->setWindowTitle("KivDisplay");
    panel_->openDiagnostics = [this] {
        if (!logs_) logs_ = std::make_unique<LogsView>(*model_);
        logs_->show();
        logs_->raise();
    };
    const auto remedy = [](const std::string& text) {
        QMessageBox::information(nullptr, "KivDisplay", QString::fromStdString(text));
    };
    panel_->showRemedy = remedy;
    panel_->openSettings = [this, remedy] {
        if (!settings_) {
            settings_ = std::make_unique<SettingsView>(*model_);
            settings_->showRemedy = remedy;
        }
        settings_->refresh();
        settings_->show();
        settings_->raise();
    };
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = std::make_unique<QSystemTrayIcon>();
        panel_->setWindowFlag(Qt::Tool); // the tray's popup: no taskbar entry of its own
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason) {
            if (panel_->isVisible()) return panel_->hide();
            placeBelow(tray_->geometry());
            panel_->show();
            panel_->raise();
            panel_->activateWindow();
        });
    } else {
        KivLog::logger("App").warning("No system tray on this desktop; the KivDisplay panel opens as a window");
        panel_->show();
    }
    model.observe([this] { update(); });
    update();
    if (tray_) tray_->show(); // once it has its icon
}

void DesktopShell::placeBelow(const QRect& icon) {
    // Next to the icon, inside the screen it is on (a tray at the bottom opens it upwards).
    if (!icon.isValid()) return;
    const auto* screen = QGuiApplication::screenAt(icon.center());
    if (!screen) return;
    const auto area = screen->availableGeometry();
    const auto size = panel_->sizeHint().expandedTo(panel_->minimumSize());
    int x = icon.right() - size.width();
    int y = icon.bottom() + 4;
    if (y + size.height() > area.bottom()) y = icon.top() - size.height() - 4;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
    panel_->move(x, y);
}

void DesktopShell::update() {
    if (!model_) return;
    panel_->refresh();
    if (settings_ && settings_->isVisible()) settings_->refresh();
    // A dialog whose device left (or was answered elsewhere) closes without an answer.
    for (auto it = approvals_.begin(); it != approvals_.end();) {
        const bool stillAsking = std::ranges::any_of(model_->devices(), [&](const HostStatus& d) {
            return d.deviceID == it->first && d.service.kind == HostStatus::Service::Kind::waitingForApproval;
        });
        if (stillAsking) {
            ++it;
            continue;
        }
        KivLog::logger("App").info("Approval dialog for " + it->first + " closed: the device is no longer waiting");
        it->second->deleteLater();
        it = approvals_.erase(it);
    }
    if (!tray_) return;
    using Kind = HostStatus::Service::Kind;
    const auto kind = model_->hostService().kind;
    const char* state = kind == Kind::streaming                                    ? "streaming"
                        : kind == Kind::waitingForApproval || kind == Kind::paused ? "waiting"
                                                                                   : "idle";
    // Light strokes on a dark desktop's panel, dark ones on a light panel.
    const bool dark = QApplication::palette().color(QPalette::Window).lightness() < 128;
    tray_->setIcon(QIcon(QString(":/icons/%1%2.svg").arg(state, dark ? "-dark" : "")));
    const auto [title, subtitle] = headerText(*model_);
    tray_->setToolTip(QString::fromStdString(subtitle.empty() ? title : title + "\n" + subtitle));
}

void DesktopShell::ask(const PeerRequest& request, std::function<void(bool)> answer) {
    const auto text = AppModel::approvalText(request);
    auto* box = new QMessageBox(QMessageBox::Question, "KivDisplay", QString::fromStdString(text.message));
    box->setInformativeText(QString::fromStdString(text.informative));
    auto* allow = box->addButton("Allow", QMessageBox::AcceptRole);
    box->addButton("Deny", QMessageBox::RejectRole);
    box->setObjectName(QString::fromStdString("approval-" + request.deviceID));
    if (const auto old = approvals_.find(request.deviceID); old != approvals_.end()) old->second->deleteLater();
    approvals_[request.deviceID] = box;
    connect(box, &QMessageBox::finished, this,
            [this, box, allow, id = request.deviceID, answer = std::move(answer)](int) {
                answer(box->clickedButton() == allow);
                if (const auto found = approvals_.find(id); found != approvals_.end() && found->second == box)
                    approvals_.erase(found);
                box->deleteLater();
            });
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace kiv::app
