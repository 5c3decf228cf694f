#include "engine/slot_watcher.h"

#include "core/launcher.h"
#include "core/process_probe.h"
#include "engine/form_timer.h"
#include "engine/locale_text.h"
#include "engine/log_writer.h"

#include <QDateTime>

namespace engine {

namespace {

QString statusText(const char *prefix, const QDateTime &now) {
    return QString::fromLatin1(prefix) + longTime(now.time()) + QStringLiteral(" ,") +
           shortDate(now.date());
}

} // namespace

SlotWatcher::SlotWatcher(const LogWriter &log, QObject *parent) : QObject(parent), log_(log) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        auto *timer = new FormTimer(QStringLiteral("Timer%1").arg(n + 1), 0, true, this);
        state(n).timer = timer;
        connect(timer, &QTimer::timeout, this, [this, n] { tick(n); });
    }
}

QString SlotWatcher::placeholder(int slot) {
    return QStringLiteral("Executable %1").arg(slot);
}

void SlotWatcher::apply(const settings::Snapshot &snapshot) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const settings::Slot &read = snapshot.perSlot[static_cast<std::size_t>(n - 1)];
        state(n).settings = read;
        setName(n, read.name);
        if (read.intervalMs) {
            state(n).timer->setIntervalMs(*read.intervalMs);
        }
    }
}

bool SlotWatcher::isWatched(int slot) const {
    const QString &n = state(slot).name;
    return !n.isEmpty() && n != placeholder(slot);
}

bool SlotWatcher::refresh() {
    bool any = false;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        if (state(n).name.isEmpty()) {
            setName(n, placeholder(n));
        }
        const bool watched = isWatched(n);
        state(n).timer->setEnabled(watched);
        if (!watched) {
            setStatus(n, {});
        }
        any = any || watched;
    }
    return any;
}

void SlotWatcher::setTimersEnabled(bool enabled) {
    for (auto &slot : slots_) {
        slot.timer->setEnabled(enabled);
    }
}

void SlotWatcher::setName(int slot, const QString &name) {
    if (state(slot).name != name) {
        state(slot).name = name;
        emit nameChanged(slot, name);
    }
}

void SlotWatcher::setStatus(int slot, const QString &text) {
    state(slot).status = text;
    emit statusChanged(slot, text);
}

void SlotWatcher::tick(int slot) {
    // An unnamed slot is never checked, not even in the moment before the
    // status panel first turns its timer off.
    if (!isWatched(slot)) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    // Read afresh on every check: a program changed in the file counts at once.
    const QString program = settings::text(settings::Key::SlotProgram, slot);
    emit checked(slot, program);

    // Found the way the start below finds it: links, "..", folder and PATH.
    const std::string folder = state(slot).settings.workingDirectory.toStdString();
    bool running = false;
    if (slot == 1) {
        try {
            running = processes::findByName(program.toStdString(), folder);
        } catch (const processes::ListUnavailable &) {
            return; // nothing can be known this tick; the status line keeps its text
        }
    } else {
        running = processes::isRunning(program.toStdString(), folder);
    }
    if (running) {
        setStatus(slot, statusText("Last Checked: ", now));
        return;
    }

    // A start that failed is reported as failed, never as a restart.
    const bool failed = !launcher::start(program.toStdString(), std::string(), folder).ok();
    setStatus(slot, failed ? statusText("Restart failed: ", now) : statusText("Restarted: ", now));
    if (state(slot).settings.commandLineOn) {
        runCommandLine(slot);
    }
    log_.restart(slot, state(slot).name, failed);
    emit restarted(slot, failed);
}

void SlotWatcher::runCommandLine(int slot) {
    // Split into program and arguments: handed over whole, a line with
    // arguments could never start.
    std::string line = state(slot).settings.commandLine.toStdString();
    const bool initiated = launcher::runCommandLine(line);
    log_.event(initiated ? QStringLiteral("Command Line Action has been initiated!")
                         : QStringLiteral("Command Line Action could not be initiated!"));
    emit commandLineRun(slot, initiated);
}

} // namespace engine
