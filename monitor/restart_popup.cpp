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

template <class T> RestartPopup *showPopup(const QString &slotName, bool restartFailed) {
    auto &registry = ui::WindowRegistry::instance();
    T *popup = registry.find<T>();
    if (!popup) {
        popup = new T(slotName, restartFailed);
        registry.add(popup);
    }
    ui::WindowRegistry::bringForward(popup);
    return popup;
}

} // namespace

RestartPopup::RestartPopup(int slot, const QString &slotName, bool restartFailed, QWidget *parent)
    : QDialog(parent), slot_(slot) {
    setObjectName(QStringLiteral("Display%1").arg(slot));
    setWindowTitle(QStringLiteral("Perstando"));
    label1_ = new QLabel(this);
    label1_->setObjectName(QStringLiteral("Label1"));
    QFont bold = label1_->font();
    bold.setBold(true);
    label1_->setFont(bold);
    label1_->setWordWrap(true);
    label1_->setMinimumWidth(320);
    command1_ = new QPushButton(QStringLiteral("&Ok"), this);
    command1_->setObjectName(QStringLiteral("Command1"));
    command1_->setDefault(true);
    connect(command1_, &QPushButton::clicked, this, &QWidget::close);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label1_);
    auto *buttons = new QHBoxLayout();
    buttons->addStretch(1);
    buttons->addWidget(command1_);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    // The load: the text is made once, with the time the window appeared.
    const QDateTime now = QDateTime::currentDateTime();
    // A start that failed is never announced as a restart.
    label1_->setText(slotName +
                     (restartFailed ? QStringLiteral(" could not be restarted at ")
                                    : QStringLiteral(" has been restarted at ")) +
                     engine::shortDate(now.date()) + QStringLiteral(", ") +
                     engine::longTime(now.time()));
    if (beeper()) {
        beeper()();
    } else {
        QApplication::beep();
    }
}

void RestartPopup::setBeeper(std::function<void()> beeper_) {
    beeper() = std::move(beeper_);
}

RestartPopup *showRestartPopupOf(int slot, const QString &slotName, bool restartFailed) {
    using Show = RestartPopup *(*)(const QString &, bool);
    static constexpr std::array<Show, 8> show = {
        &showPopup<SlotPopup<1>>, &showPopup<SlotPopup<2>>, &showPopup<SlotPopup<3>>,
        &showPopup<SlotPopup<4>>, &showPopup<SlotPopup<5>>, &showPopup<SlotPopup<6>>,
        &showPopup<SlotPopup<7>>, &showPopup<SlotPopup<8>>,
    };
    if (slot < 1 || slot > static_cast<int>(show.size())) {
        return nullptr;
    }
    return show[static_cast<std::size_t>(slot - 1)](slotName, restartFailed);
}
