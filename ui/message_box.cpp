#include "ui/message_box.h"

namespace ui {
namespace {

class RealMessageBoxes final : public MessageBoxes {
public:
    QMessageBox::StandardButton show(QWidget *parent, const MessageRequest &request) override {
        QMessageBox box(request.icon, request.title, request.text, request.buttons, parent);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }
};

MessageBoxes *&installed() {
    static MessageBoxes *boxes = nullptr;
    return boxes;
}

} // namespace

void setMessageBoxes(MessageBoxes *boxes) {
    installed() = boxes;
}

QMessageBox::StandardButton message(QWidget *parent, const QString &text, const QString &title,
                                    QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
    static RealMessageBoxes real;
    MessageBoxes *boxes = installed() ? installed() : &real;
    return boxes->show(parent, {text, title, icon, buttons});
}

} // namespace ui
