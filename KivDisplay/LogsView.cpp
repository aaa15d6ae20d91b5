#include "LogsView.hpp"

#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace kiv::app {

LogsView::LogsView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), text_(new QPlainTextEdit), level_(new QComboBox), toast_(new QLabel),
      timer_(new QTimer(this)), toastTimer_(new QTimer(this)) {
    setWindowTitle("KivDisplay Diagnostics");
    setObjectName("logs");
    resize(900, 560);
    text_->setReadOnly(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setObjectName("logText");
    level_->setObjectName("level");
    for (const auto& [title, level] :
         {std::pair{"Errors Only", LogLevel::error}, std::pair{"Warnings and Errors", LogLevel::warn},
          std::pair{"Info and Above", LogLevel::info}, std::pair{"Everything (Debug)", LogLevel::debug}})
        level_->addItem(title, static_cast<int>(level));
    level_->setCurrentIndex(2);
    connect(level_, &QComboBox::activated, this, [this](int) {
        minLevel_ = static_cast<LogLevel>(level_->currentData().toInt());
        refresh(true);
    });
    auto* copyLog = new QPushButton("Copy Log");
    connect(copyLog, &QPushButton::clicked, this, [this] {
        const auto text = text_->toPlainText();
        QGuiApplication::clipboard()->setText(text);
        toast(QString("Log copied (%1 lines)").arg(text.isEmpty() ? 0 : text.count('\n') + 1));
    });
    auto* clearLog = new QPushButton("Clear Log");
    connect(clearLog, &QPushButton::clicked, this, [this] {
        KivLogStore::shared().clear();
        refresh(true);
    });
    auto* copyDiagnostics = new QPushButton("Copy Diagnostics");
    connect(copyDiagnostics, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(QString::fromStdString(model_.diagnosticsReport()));
        toast("✓ Diagnostics copied");
    });
    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel("Level"));
    bar->addWidget(level_);
    bar->addStretch();
    bar->addWidget(toast_);
    bar->addWidget(copyLog);
    bar->addWidget(clearLog);
    bar->addWidget(copyDiagnostics);
    auto* column = new QVBoxLayout(this);
    column->addLayout(bar);
    column->addWidget(text_, 1);
    toastTimer_->setSingleShot(true);
    connect(toastTimer_, &QTimer::timeout, toast_, &QLabel::clear);
    connect(timer_, &QTimer::timeout, this, [this] { refresh(); });
    timer_->start(1000);
    refresh(true);
}

void LogsView::refresh(bool force) {
    const auto version = KivLogStore::shared().version();
    if (!force && version == lastVersion_) return; // nothing new: leave the text (and the reader's selection) alone
    lastVersion_ = version;
    text_->setPlainText(QString::fromStdString(KivLogStore::shared().text(minLevel_)));
    text_->moveCursor(QTextCursor::End);
}

void LogsView::toast(const QString& text) {
    toast_->setText(text);
    toastTimer_->start(2000);
}

} // namespace kiv::app
