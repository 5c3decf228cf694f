#include "monitor/run_at_start.h"

#include "core/autostart.h"
#include "engine/log_writer.h"
#include "engine/settings.h"
#include "ui/message_box.h"

#include <string>

namespace {

struct Texts {
    QString done;
    QString doneEntry;
    QString failed;
    QString failedEntry;
};

/// Tells the user and the log how it went: a failure says so, with the
/// system's reason on a second line.
void report(QWidget &owner, const engine::LogWriter &log, bool ok, const std::string &reason,
            const Texts &texts) {
    if (ok) {
        ui::message(&owner, texts.done);
    } else {
        ui::message(&owner, texts.failed + QLatin1Char('\n') + QString::fromStdString(reason),
                    ui::programTitle(), QMessageBox::Warning);
    }
    log.note(ok ? texts.doneEntry : texts.failedEntry);
}

} // namespace

void enableRunAtStart(QWidget &owner, const engine::LogWriter &log) {
    const std::string command =
        autostart::programCommand(settings::dataFolderText().toStdString() + "/perstando");
    // The user's own autostart folder: every desktop reads it at login, and
    // unlike the system one it needs no root.
    const auto enabled = autostart::enable(command);
    report(owner, log, enabled.ok, enabled.reason,
           {QStringLiteral("Run on windows startup has been enabled."),
            QStringLiteral("Tenacor has been enabled to run on upon windows startup."),
            QStringLiteral("Run on windows startup could not be enabled."),
            QStringLiteral("Tenacor could not be enabled to run on upon windows startup.")});
}

void disableRunAtStart(QWidget &owner, const engine::LogWriter &log) {
    const auto disabled = autostart::disable();
    report(owner, log, disabled.ok, disabled.reason,
           {QStringLiteral("Run on windows startup has been disabled."),
            QStringLiteral("Tenacor has been disabled to run on upon windows startup."),
            QStringLiteral("Run on windows startup could not be disabled."),
            QStringLiteral("Tenacor could not be disabled to run on upon windows startup.")});
}
