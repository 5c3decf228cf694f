#include "monitor/watch_cycle.h"

#include "core/launcher.h"
#include "core/process_probe.h"
#include "engine/locale_text.h"
#include "monitor/main_window.h"
#include "ui/settings.h"

#include <QDateTime>
#include <QLineEdit>

namespace {

const QString On = QStringLiteral("On");

QString statusText(const char *prefix, const QDateTime &now) {
    return QString::fromLatin1(prefix) + engine::longTime(now.time()) + QStringLiteral(" ,") +
           engine::shortDate(now.date());
}

} // namespace

WatchCycle::WatchCycle(Form1 &form) : QObject(&form), form_(form) {}

QString WatchCycle::longRow() {
    return QString(54, QLatin1Char('*'));
}

QString WatchCycle::shortRow() {
    return QString(53, QLatin1Char('*'));
}

void WatchCycle::tick(int slot) {
    // An unnamed slot is never checked, not even in the moment before the
    // status panel first turns its timer off.
    const QString name = form_.slotName(slot);
    if (name.isEmpty() || name == QStringLiteral("Executable %1").arg(slot)) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QString section = QStringLiteral("exe%1").arg(slot);
    const QString program = ui::readSetting(section, QStringLiteral("path"));

    if (slot == 1 && hooks_.slotOneProgram) {
        hooks_.slotOneProgram(ui::readSetting(section, QStringLiteral("path")));
    }

    // Found the way the start below finds it: links, "..", folder and PATH.
    const std::string workingDirectory =
        form_.held().workingDirectory[static_cast<std::size_t>(slot - 1)].toStdString();
    bool running = false;
    if (slot == 1) {
        try {
            running = processes::findByName(program.toStdString(), workingDirectory);
        } catch (const processes::ListUnavailable &) {
            return; // nothing can be known this tick; the status line keeps its text
        }
    } else {
        running = processes::isRunning(program.toStdString(), workingDirectory);
    }
    QLineEdit *status = form_.slotStatus(slot);
    if (running) {
        status->setText(statusText("Last Checked: ", now));
        return;
    }

    const auto &held = form_.held();
    const auto started = launcher::start(program.toStdString(), std::string(), workingDirectory);
    // A start that failed is reported as failed, never as a restart.
    const bool restartFailed = !started.ok();
    status->setText(restartFailed ? statusText("Restart failed: ", now)
                                  : statusText("Restarted: ", now));

    // The log is one way of telling the user among several: when it cannot
    // be written, the others still run.
    if (held.commandSwitch[static_cast<std::size_t>(slot - 1)] == On) {
        runCommandLineAction(slot);
    }
    if (held.visual == On) {
        form_.startVisualAlarm();
    }
    if (held.audio == On) {
        form_.startAudioAlarm();
    }
    if (held.pop == On && hooks_.showPopup) {
        hooks_.showPopup(slot, restartFailed);
    }

    const QString row = slot == 1 ? longRow() : shortRow();
    const QString outcome = restartFailed ? QStringLiteral(" could not be restarted.")
                                          : QStringLiteral(" has been restarted.");
    form_.appendLog(
        {row, engine::timestampNow() + QLatin1Char(',') + form_.slotName(slot) + outcome, row});

    if (form_.notificationSwitch() == On && hooks_.sendMail) {
        hooks_.sendMail(slot, restartFailed);
    }
}

void WatchCycle::runCommandLineAction(int slot) {
    // Split into program and arguments: handed over whole, a line with
    // arguments could never start.
    std::string line = form_.held().commandLine[static_cast<std::size_t>(slot - 1)].toStdString();
    const bool initiated = launcher::runCommandLine(line);
    const QString text = initiated ? QStringLiteral("Command Line Action has been initiated!")
                                   : QStringLiteral("Command Line Action could not be initiated!");
    form_.appendLog({longRow(), engine::timestampNow() + text, longRow()});
}
