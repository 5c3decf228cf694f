#pragma once
// Small pieces the dialogs build their windows from.

#include <QString>
#include <QWidget>
#include <utility>

class QAction;
class QComboBox;

namespace dialogs {

/// Creates a control of type T with its stable object name, which tests find it by.
template <class T, class... Args> T *named(const QString &name, Args &&...args) {
    auto *control = new T(std::forward<Args>(args)...);
    control->setObjectName(name);
    return control;
}

/// Names and titles a dialog's window and records it as loaded.
void setUpWindow(QWidget *window, const QString &name, const QString &caption);

/// Gives `window` a menu bar holding one command item, as the dialogs' single menus are.
QAction *addMenuItem(QWidget *window, const QString &name, const QString &caption);

/// An editable choice that keeps typed text as typed: nothing is added to the
/// list, and completion matches case, so "on" never turns into the entry "On".
void keepTypedText(QComboBox *combo);

} // namespace dialogs
