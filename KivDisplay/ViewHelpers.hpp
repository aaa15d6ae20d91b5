#pragma once
// Small pieces the views share.
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QString>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace kiv::app {

inline QString q(const std::string& text) {
    return QString::fromStdString(text);
}

inline QLabel* label(const std::string& text, bool bold = false) {
    auto* l = new QLabel(q(text));
    l->setWordWrap(true);
    if (bold) {
        auto font = l->font();
        font.setBold(true);
        l->setFont(font);
    }
    return l;
}

// While a list is open (a picker's popup), a rebuild would close it under the user's pointer; the
// rebuild waits until it is closed. True when the caller should not rebuild now.
inline bool deferWhilePopupOpen(QWidget* view, bool& pending, std::function<void()> retry) {
    if (!QApplication::activePopupWidget()) return false;
    if (!pending) {
        pending = true;
        QTimer::singleShot(300, view, [&pending, retry = std::move(retry)] {
            pending = false;
            retry();
        });
    }
    return true;
}

// A titled combo box whose choice (by index) goes to `chosen`; `object` names it for tests.
inline QHBoxLayout* picker(QObject* owner, const char* title, const char* object, const std::vector<std::string>& items,
                           int current, std::function<void(int)> chosen) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(title));
    auto* box = new QComboBox;
    box->setObjectName(object);
    for (const auto& item : items)
        box->addItem(q(item));
    box->setCurrentIndex(current);
    QObject::connect(box, &QComboBox::activated, owner, [chosen = std::move(chosen)](int index) { chosen(index); });
    row->addWidget(box, 1);
    return row;
}

} // namespace kiv::app
