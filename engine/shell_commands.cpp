#include "engine/shell_commands.h"

#include "engine/metrics.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "engine/watchdog.h"

#include <QTimer>

namespace engine {

namespace {

CommandServer::Reply refused(const QString &reason) {
    return {false, reason};
}

CommandServer::Reply check(Watchdog &watchdog, const QString &number) {
    bool isNumber = false;
    const int slot = number.toInt(&isNumber);
    if (!isNumber || slot < 1 || slot > settings::SlotCount) {
        return refused(QStringLiteral("no slot %1: slots are numbered 1 to %2")
                           .arg(number)
                           .arg(settings::SlotCount));
    }
    SlotWatcher &watcher = watchdog.slotWatcher();
    if (!watcher.isWatched(slot)) {
        return refused(QStringLiteral("slot %1 has no program named").arg(slot));
    }
    if (watchdog.paused()) {
        return refused(QStringLiteral("checking is paused"));
    }
    watcher.checkFromShell(slot);
    return {true,
            QStringLiteral("%1 %2: %3").arg(slot).arg(watcher.name(slot), watcher.status(slot))};
}

} // namespace

CommandServer::Reply answerShellCommand(Watchdog &watchdog, const QString &request) {
    if (request == QLatin1String("status")) {
        return {true, statusText(watchdog)};
    }
    if (request == QLatin1String("status --json")) {
        return {true, QString::fromUtf8(statusJson(watchdog))};
    }
    if (request == QLatin1String("metrics") || request == QLatin1String("metrics --openmetrics")) {
        return {true, QString::fromUtf8(metricsText(watchdog, request == QLatin1String("metrics")
                                                                  ? MetricsFormat::Prometheus
                                                                  : MetricsFormat::OpenMetrics))};
    }
    if (request == QLatin1String("pause") || request == QLatin1String("resume")) {
        watchdog.setPaused(request == QLatin1String("pause"));
        return {true, watchdog.paused() ? QStringLiteral("checking paused")
                                        : QStringLiteral("checking resumed")};
    }
    if (request == QLatin1String("acknowledge")) {
        watchdog.acknowledgeAlarms();
        return {true, QStringLiteral("alarms acknowledged")};
    }
    if (request == QLatin1String("quit")) {
        // After the reply has gone out.
        QTimer::singleShot(0, &watchdog, [&watchdog] { watchdog.requestQuit(); });
        return {true, QStringLiteral("exiting")};
    }
    if (request.startsWith(QLatin1String("check "))) {
        return check(watchdog, request.mid(6));
    }
    return refused(QStringLiteral("unknown command: %1").arg(request.left(100)));
}

} // namespace engine
