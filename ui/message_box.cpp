#include "ui/message_box.h"

#include <QCoreApplication>
#include <QTimer>

namespace ui {
namespace {

class RealMessageBoxes final : public MessageBoxes {
public:
    QMessageBox::StandardButton show(QWidget *parent, const MessageRequest &request) override {
        QMessageBox box(request.icon, request.title, request.text, request.buttons, parent);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    }
    void showLater(QWidget *parent, const MessageRequest &request, Answered answered) override {
        auto *box =
            new QMessageBox(request.icon, request.title, request.text, request.buttons, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(box, &QMessageBox::finished, box, [box, answered = std::move(answered)] {
            answered(box->standardButton(box->clickedButton()));
        });
        box->open(); // modal to its window only, without a loop of its own
    }
};

MessageBoxes *&installed() {
    static MessageBoxes *boxes = nullptr;
    return boxes;
}

MessageBoxes &current() {
    static RealMessageBoxes real;
    return installed() ? *installed() : real;
}

} // namespace

void MessageBoxes::showLater(QWidget *parent, const MessageRequest &request, Answered answered) {
    QObject *context = parent ? static_cast<QObject *>(parent) : QCoreApplication::instance();
    QTimer::singleShot(0, context, [this, parent, request, answered = std::move(answered)] {
        answered(show(parent, request));
    });
}

void setMessageBoxes(MessageBoxes *boxes) {
    installed() = boxes;
}

QMessageBox::StandardButton message(QWidget *parent, const QString &text, const QString &title,
                                    QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
    return current().show(parent, {text, title, icon, buttons});
}

void ask(QWidget *parent, const MessageRequest &request, MessageBoxes::Answered answered) {
    current().showLater(parent, request, std::move(answered));
}

} // namespace ui
