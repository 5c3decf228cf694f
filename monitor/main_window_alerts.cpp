// The main window's alarms, restart popups, tray icon, pause, start-mode
// items and help.

#include "core/map_state.h"
#include "engine/alarm_state.h"
#include "engine/settings.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/watchdog.h"
#include "monitor/alarm_sound.h"
#include "monitor/main_window.h"
#include "monitor/restart_popup.h"
#include "monitor/window_flash.h"
#include "ui/message_box.h"
#include "ui/window_registry.h"
#include "viewers/help_window.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMovie>
#include <QSignalBlocker>
#include <QSystemTrayIcon>

void MainWindow::prepareAlarms() {
    const QString folder = settings::dataFolderText();
    alarmSound_ = new AlarmSound(this);
    warningPicture_->setVisible(false);

    connect(watchdog_, &engine::Watchdog::notRespondingPopupRequested, this,
            [](int slot, const QString &name) { showNotRespondingPopupOf(slot, name); });
    connect(watchdog_, &engine::Watchdog::unhealthyPopupRequested, this,
            [](int slot, const QString &sentence) { showUnhealthyPopupOf(slot, sentence); });
    auto &alarms = watchdog_->alarms();
    connect(&alarms, &engine::AlarmState::soundDue, this,
            [this, folder] { alarmSound_->play(folder + QStringLiteral("/ringin.wav")); });
    connect(&alarms, &engine::AlarmState::visualAlarmRaised, this, [this, folder] {
        if (!warningMovie_) {
            // Made for the first alarm: the picture is decoded only when seen.
            warningMovie_ =
                new QMovie(folder + QStringLiteral("/warning_4.gif"), QByteArray(), this);
            warningMovie_->setScaledSize(warningPicture_->size());
            warningPicture_->setMovie(warningMovie_);
        }
        warningPicture_->setVisible(true);
        warningMovie_->start();
        flashTimer_->setEnabled(true);
    });
    connect(&alarms, &engine::AlarmState::acknowledged, this, [this] {
        alarmSound_->stop();
        flashTimer_->setEnabled(false);
        warningPicture_->setVisible(false);
        if (warningMovie_) {
            warningMovie_->stop();
        }
    });
    connect(flashTimer_, &QTimer::timeout, this,
            [this] { windowflash::toggle(this, flashTimer_->interval()); });
}

void MainWindow::acknowledgeAlarms() {
    watchdog_->acknowledgeAlarms();
}

void MainWindow::showRestartPopup(int slot, bool restartFailed) {
    showRestartPopupOf(slot, watchdog_->slotWatcher().name(slot), restartFailed);
}

void MainWindow::buildTrayIcon() {
    trayIcon_->setIcon(QIcon(QStringLiteral(":/pictures/tray.png")));
    setWindowIcon(QIcon(QStringLiteral(":/pictures/perstando.png")));
    // The about event and the exit run what the menu items of the same name run.
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("TrayMenu"));
    connect(menu->addAction(QStringLiteral("&About")), &QAction::triggered, this,
            [this] { runMenuItem(QStringLiteral("mnuabout")); });
    connect(menu->addAction(QStringLiteral("&Restore")), &QAction::triggered, this,
            &MainWindow::restoreFromTray);
    menu->addSeparator();
    connect(menu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this,
            [this] { runMenuItem(QStringLiteral("mnuexit")); });
    trayIcon_->setContextMenu(menu);
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    restoreFromTray();
                }
            });
}

void MainWindow::restoreFromTray() {
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!isVisible() && x11) {
        // Minimized once for want of a tray and brought back by the window
        // manager, the window still asks X to be mapped iconic: Qt leaves the
        // initial state it set then. Shown so, it would stay minimized.
        core::mapNormalNextTime(x11->connection(), static_cast<std::uint32_t>(winId()));
    }
    ui::WindowRegistry::bringForward(this);
    trayIcon_->setVisible(false);
}

QString MainWindow::withSettingsProblem(const QString &toolTip) const {
    const QString &problem = watchdog_->settings().problem;
    return problem.isEmpty() ? toolTip : toolTip + QLatin1Char('\n') + problem;
}

void MainWindow::showPause() {
    const QSignalBlocker quiet(pauseBox_);
    pauseBox_->setChecked(watchdog_->paused());
    setWindowTitle(watchdog_->paused() ? QStringLiteral("Tenacor is now paused!")
                                       : QStringLiteral("Tenacor"));
    showTrayToolTip();
}

void MainWindow::showTrayToolTip() {
    trayIcon_->setToolTip(withSettingsProblem(
        watchdog_->paused() ? QStringLiteral("Tenacor Paused!") : QStringLiteral("Tenacor")));
}

void MainWindow::writeStartMode(bool inTray) {
    // Takes effect at the next start; the running program stays as it is.
    const auto written = settings::Save().setFlag(settings::Key::StartInTray, inTray).commit();
    if (!written.ok) {
        ui::message(this, settings::saveFailedMessage(written.error), ui::programTitle(),
                    QMessageBox::Warning);
    }
}

void MainWindow::setMenuHandler(const QString &itemName, const std::function<void()> &handler) {
    menuHandlers_.insert(itemName, handler);
}

void MainWindow::showHelp() {
    auto &registry = ui::WindowRegistry::instance();
    if (auto *open = registry.find<HelpWindow>()) {
        open->showContents();
    }
    registry.show<HelpWindow>();
}
