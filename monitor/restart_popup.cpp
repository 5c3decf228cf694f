#include "monitor/restart_popup.h"

#include "engine/locale_text.h"
#include "ui/window_registry.h"

#include <QApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>

namespace {

std::function<void()> &beeper() {
    static std::function<void()> beep;
    return beep;
}

/// "<slot name><what><date>, <time>", at the time of the call.
QString happenedNow(const QString &slotName, const QString &what) {
    const QDateTime now = QDateTime::currentDateTime();
    return slotName + what + engine::shortDate(now.date()) + QStringLiteral(", ") +
           engine::longTime(now.time());
}

template <class T> RestartPopup *showPopup(const std::function<QString()> &message, bool renew) {
    auto &registry = ui::WindowRegistry::instance();
    T *popup = registry.find<T>();
    if (!popup) {
        popup = new T(message());
        registry.add(popup);
    } else if (renew) {
        popup->renew(message());
    }
    ui::WindowRegistry::bringForward(popup);
    return popup;
}

RestartPopup *showPopupOf(int slot, const std::function<QString()> &message, bool renew) {
    using Show = RestartPopup *(*)(const std::function<QString()> &, bool);
    static constexpr std::array<Show, 8> show = {
        &showPopup<SlotPopup<1>>, &showPopup<SlotPopup<2>>, &showPopup<SlotPopup<3>>,
        &showPopup<SlotPopup<4>>, &showPopup<SlotPopup<5>>, &showPopup<SlotPopup<6>>,
        &showPopup<SlotPopup<7>>, &showPopup<SlotPopup<8>>,
    };
    if (slot < 1 || slot > static_cast<int>(show.size())) {
        return nullptr;
    }
    return show[static_cast<std::size_t>(slot - 1)](message, renew);
}

void beep() {
    if (beeper()) {
        beeper()();
    } else {
        QApplication::beep();
    }
}

} // namespace

RestartPopup::RestartPopup(int slot, const QString &message, QWidget *parent)
    : QDialog(parent), slot_(slot) {
    setObjectName(QStringLiteral("Display%1").arg(slot));
    setWindowTitle(QStringLiteral("Perstando"));
    messageLabel_ = new QLabel(this);
    messageLabel_->setObjectName(QStringLiteral("Label1"));
    QFont bold = messageLabel_->font();
    bold.setBold(true);
    messageLabel_->setFont(bold);
    messageLabel_->setWordWrap(true);
    messageLabel_->setMinimumWidth(320);
    okButton_ = new QPushButton(QStringLiteral("&Ok"), this);
    okButton_->setObjectName(QStringLiteral("Command1"));
    okButton_->setDefault(true);
    connect(okButton_, &QPushButton::clicked, this, &QWidget::close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(messageLabel_);
    auto *buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(okButton_);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    messageLabel_->setText(message);
    beep();
}

void RestartPopup::renew(const QString &message) {
    messageLabel_->setText(message);
    beep();
}

void RestartPopup::setBeeper(std::function<void()> beep) {
    beeper() = std::move(beep);
}

RestartPopup *showRestartPopupOf(int slot, const QString &slotName, bool restartFailed) {
    // The load: the text is made once, with the time the window appeared.
    // A start that failed is never announced as a restart.
    return showPopupOf(
        slot,
        [&] {
            return happenedNow(slotName, restartFailed
                                             ? QStringLiteral(" could not be restarted at ")
                                             : QStringLiteral(" has been restarted at "));
        },
        false);
}

RestartPopup *showGiveUpPopupOf(int slot, const QString &sentence) {
    // Said even over an earlier restart's text: it is the last word on the slot.
    return showPopupOf(
        slot, [&] { return sentence; }, true);
}

RestartPopup *showUnhealthyPopupOf(int slot, const QString &sentence) {
    // As with restarts, a popup already up keeps its first text.
    return showPopupOf(
        slot, [&] { return sentence; }, false);
}

RestartPopup *showNotRespondingPopupOf(int slot, const QString &slotName) {
    // As with restarts, a popup already up keeps its first text.
    return showPopupOf(
        slot, [&] { return happenedNow(slotName, QStringLiteral(" stopped responding at ")); },
        false);
}
