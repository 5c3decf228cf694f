#pragma once
// Every message box of the program goes through here, so tests can answer them.

#include <QMessageBox>
#include <QString>

namespace ui {

/// The program title, used as the caption of message boxes without one of their own.
inline QString programTitle() {
    return QStringLiteral("Perstando");
}

struct MessageRequest {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

/// Shows message boxes; the default one uses QMessageBox, tests install their own.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual QMessageBox::StandardButton show(QWidget *parent, const MessageRequest &request) = 0;
};

/// The installed message boxes; `nullptr` restores the real ones.
void setMessageBoxes(MessageBoxes *boxes);

/// Shows a modal message and returns the button pressed.
QMessageBox::StandardButton message(QWidget *parent, const QString &text,
                                    const QString &title = programTitle(),
                                    QMessageBox::Icon icon = QMessageBox::NoIcon,
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok);

} // namespace ui
