// The main window's answers to the shell commands: each does what the same
// control in the window does, so the window shows the change at once.

#include "engine/command_server.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "engine/watchdog.h"
#include "monitor/main_window.h"

#include <QCheckBox>
#include <QTimer>

namespace {

using Reply = engine::CommandServer::Reply;

Reply refused(const QString &reason) {
    return {false, reason};
}

} // namespace

void MainWindow::acceptCommands(int listeningFd) {
    if (listeningFd >= 0) {
        new engine::CommandServer(
            listeningFd, [this](const QString &request) { return answer(request); }, this);
    }
}

engine::CommandServer::Reply MainWindow::answer(const QString &request) {
    const bool paused = pauseBox_->isChecked();
    if (request == QLatin1String("status")) {
        return {true, engine::statusText(*watchdog_, paused)};
    }
    if (request == QLatin1String("status --json")) {
        return {true, QString::fromUtf8(engine::statusJson(*watchdog_, paused))};
    }
    if (request == QLatin1String("pause") || request == QLatin1String("resume")) {
        pauseBox_->setChecked(request == QLatin1String("pause"));
        pollPause();
        return {true, pauseBox_->isChecked() ? QStringLiteral("checking paused")
                                             : QStringLiteral("checking resumed")};
    }
    if (request == QLatin1String("acknowledge")) {
        acknowledgeAlarms();
        return {true, QStringLiteral("alarms acknowledged")};
    }
    if (request == QLatin1String("quit")) {
        // After the reply has gone out.
        QTimer::singleShot(0, this, [this] { runMenuItem(QStringLiteral("mnuexit")); });
        return {true, QStringLiteral("exiting")};
    }
    if (request.startsWith(QLatin1String("check "))) {
        bool number = false;
        const int slot = request.mid(6).toInt(&number);
        if (!number || slot < 1 || slot > settings::SlotCount) {
            return refused(QStringLiteral("no slot %1: slots are numbered 1 to %2")
                               .arg(request.mid(6))
                               .arg(settings::SlotCount));
        }
        auto &watcher = watchdog_->slotWatcher();
        if (!watcher.isWatched(slot)) {
            return refused(QStringLiteral("slot %1 has no program named").arg(slot));
        }
        if (paused) {
            return refused(QStringLiteral("checking is paused"));
        }
        watcher.tick(slot);
        return {
            true,
            QStringLiteral("%1 %2: %3").arg(slot).arg(watcher.name(slot), watcher.status(slot))};
    }
    return refused(QStringLiteral("unknown command: %1").arg(request.left(100)));
}
