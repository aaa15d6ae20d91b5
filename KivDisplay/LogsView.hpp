#pragma once
// "KivDisplay Diagnostics": the log, filtered by level, refreshed only when the log store changed;
// Copy Log, Clear Log and Copy Diagnostics with a short confirmation.
#include <QWidget>

#include "AppModel.hpp"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTimer;

namespace kiv::app {

class LogsView final : public QWidget {
public:
    explicit LogsView(AppModel& model, QWidget* parent = nullptr);
    void refresh(bool force = false);
    LogLevel minLevel() const { return minLevel_; }

private:
    void toast(const QString& text);

    AppModel& model_;
    QPlainTextEdit* text_;
    QComboBox* level_;
    QLabel* toast_;
    QTimer* timer_;
    QTimer* toastTimer_;
    std::uint64_t lastVersion_ = ~std::uint64_t{0};
    LogLevel minLevel_ = LogLevel::info;
};

} // namespace kiv::app
