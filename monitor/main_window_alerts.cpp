// Form1's alarms, restart popups, tray icon, pause poll, start-mode items and help.

#include "monitor/alarm_sound.h"
#include "monitor/main_window.h"
#include "monitor/restart_popup.h"
#include "monitor/window_flash.h"
#include "ui/message_box.h"
#include "ui/settings.h"
#include "ui/window_registry.h"
#include "viewers/help_window.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMovie>
#include <QSystemTrayIcon>

void Form1::prepareAlarmControls(const QString &folder) {
    held_.soundFile = folder + QStringLiteral("/ringin.wav");
    mmControl1_ = new AlarmSound(this);
    gif89a1_->setVisible(false);
    held_.pictureFile = folder + QStringLiteral("/warning_4.gif");
    warning_ = new QMovie(held_.pictureFile, QByteArray(), this);
    warning_->setScaledSize(gif89a1_->size());
    gif89a1_->setMovie(warning_);

    connect(timer12_, &QTimer::timeout, this, [this] { mmControl1_->play(held_.soundFile); });
    connect(flashtmr_, &QTimer::timeout, this,
            [this] { modflash::FlashWindow(this, flashtmr_->interval()); });
}

void Form1::showRestartPopup(int slot, bool restartFailed) {
    showRestartPopupOf(slot, slotName(slot), restartFailed);
}

void Form1::buildTrayIcon() {
    trayIcon1_->setIcon(QIcon(QStringLiteral(":/pictures/tray.png")));
    setWindowIcon(QIcon(QStringLiteral(":/pictures/perstando.png")));
    // The about event and the exit run what the menu items of the same name run.
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("TrayMenu"));
    connect(menu->addAction(QStringLiteral("&About")), &QAction::triggered, this,
            [this] { runMenuItem(QStringLiteral("mnuabout")); });
    connect(menu->addAction(QStringLiteral("&Restore")), &QAction::triggered, this,
            &Form1::restoreFromTray);
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
            [this] { runMenuItem(QStringLiteral("mnuexit")); });
    trayIcon1_->setContextMenu(menu);
    connect(trayIcon1_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    restoreFromTray();
                }
            });
}

void Form1::restoreFromTray() {
    ui::WindowRegistry::bringForward(this);
    trayIcon1_->setVisible(false);
}

QString Form1::withSettingsProblem(const QString &toolTip) const {
    return settingsProblem_.isEmpty() ? toolTip : toolTip + QLatin1Char('\n') + settingsProblem_;
}

void Form1::pausePoll() {
    if (check1_->isChecked()) {
        timer1_->setEnabled(false);
        for (auto &slot : slots_) {
            slot.timer->setEnabled(false);
        }
        timer10_->setEnabled(false);
        timer11_->setEnabled(false);
        setWindowTitle(QStringLiteral("Tenacor is now paused!"));
        trayIcon1_->setToolTip(withSettingsProblem(QStringLiteral("Tenacor Paused!")));
    } else {
        // The slot timers come back with the next Timer1 tick, only for named slots.
        timer1_->setEnabled(true);
        timer10_->setEnabled(true);
        timer11_->setEnabled(true);
        setWindowTitle(QStringLiteral("Tenacor"));
        trayIcon1_->setToolTip(withSettingsProblem(QStringLiteral("Tenacor")));
    }
}

void Form1::writeStartMode(const QString &value) {
    // Takes effect at the next start; the running program stays as it is.
    const auto written =
        ui::writeSetting(QStringLiteral("StartupMode"), QStringLiteral("InIconTray"), value);
    if (!written.ok) {
        ui::message(this, ui::saveFailedMessage(written.error), ui::programTitle(),
                    QMessageBox::Warning);
    }
}

void Form1::setMenuHandler(const QString &itemName, std::function<void()> handler) {
    menuHandlers_.insert(itemName, std::move(handler));
}

void Form1::showHelp() {
    auto &registry = ui::WindowRegistry::instance();
    if (auto *open = registry.find<HelpWindow>()) {
        open->showContents();
    }
    registry.show<HelpWindow>();
}
