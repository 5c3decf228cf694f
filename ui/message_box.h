#pragma once
// Every message box of the program goes through here, so tests can answer them.

#include <QMessageBox>
#include <QString>
#include <functional>

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
    using Answered = std::function<void(QMessageBox::StandardButton)>;

    virtual QMessageBox::StandardButton show(QWidget *parent, const MessageRequest &request) = 0;
    /// Shows the message without waiting for it; `answered` follows later
    /// with the button pressed. By default show() answers from the event loop.
    virtual void showLater(QWidget *parent, const MessageRequest &request, Answered answered);
};

/// The installed message boxes; `nullptr` restores the real ones.
void setMessageBoxes(MessageBoxes *boxes);

/// Shows a modal message and returns the button pressed.
QMessageBox::StandardButton message(QWidget *parent, const QString &text,
                                    const QString &title = programTitle(),
                                    QMessageBox::Icon icon = QMessageBox::NoIcon,
                                    QMessageBox::StandardButtons buttons = QMessageBox::Ok);

/// Shows a message that is not modal to the application and returns at once;
/// `answered` is called with the button pressed, unless `parent` is gone.
void ask(QWidget *parent, const MessageRequest &request, MessageBoxes::Answered answered);

} // namespace ui
