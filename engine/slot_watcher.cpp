#include "engine/slot_watcher.h"

#include "core/launcher.h"
#include "core/process_probe.h"
#include "engine/form_timer.h"
#include "engine/locale_text.h"
#include "engine/log_writer.h"

#include <QDateTime>
#include <QSocketNotifier>

#include <unistd.h>

namespace engine {

namespace {

/// Slot 1 matches the executable's name, the others a piece of its path.
processes::Rule ruleOf(int slot) {
    return slot == 1 ? processes::Rule::ExecutableName : processes::Rule::PathContains;
}

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

SlotWatcher::~SlotWatcher() {
    for (auto &slot : slots_) {
        slot.end.stop();
    }
}

void SlotWatcher::EndWatch::stop() {
    // The notifier goes before its descriptor closes.
    delete notifier;
    notifier = nullptr;
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

QString SlotWatcher::placeholder(int slot) {
    // Asked on every check: built once.
    static const std::array<QString, settings::SlotCount> texts = [] {
        std::array<QString, settings::SlotCount> all;
        for (int n = 1; n <= settings::SlotCount; ++n) {
            all[static_cast<std::size_t>(n - 1)] = QStringLiteral("Executable %1").arg(n);
        }
        return all;
    }();
    return texts[static_cast<std::size_t>(slot - 1)];
}

void SlotWatcher::apply(const settings::Snapshot &snapshot) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        const settings::Slot &read = snapshot.perSlot[static_cast<std::size_t>(n - 1)];
        state(n).settings = read;
        setName(n, read.name);
        if (read.intervalMs) {
            state(n).timer->setIntervalMs(*read.intervalMs);
        }
        // Restart at once and the hang watch cover the time before the first
        // check too: the process is looked up now, without acting on the answer.
        if ((read.immediate || read.hangSeconds) && isWatched(n) && state(n).process.pid() == 0) {
            try {
                state(n).process.running(
                    ruleOf(n), settings::text(settings::Key::SlotProgram, n).toStdString(),
                    read.workingDirectory.toStdString());
            } catch (const processes::ListUnavailable &) {
                // the first check tries again
            }
        }
        watchEnd(n);
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
            state(n).process.forget();
            watchEnd(n);
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
    State &s = state(slot);
    const std::string folder = s.settings.workingDirectory.toStdString();
    bool running = false;
    try {
        running = s.process.running(ruleOf(slot), program.toStdString(), folder);
    } catch (const processes::ListUnavailable &) {
        return; // nothing can be known this tick; the status line keeps its text
    }
    if (running) {
        setStatus(slot, statusText("Last Checked: ", now));
        watchEnd(slot);
        return;
    }

    // A start that failed is reported as failed, never as a restart.
    const launcher::Result started = launcher::start(program.toStdString(), std::string(), folder);
    const bool failed = !started.ok();
    if (!failed) {
        s.lastStart.start();
    }
    // A document opened by association has no PID: the next check walks.
    s.process.remember(started.pid);
    watchEnd(slot);
    setStatus(slot, failed ? statusText("Restart failed: ", now) : statusText("Restarted: ", now));
    if (state(slot).settings.commandLineOn) {
        runCommandLine(slot);
    }
    log_.restart(slot, state(slot).name, failed);
    emit restarted(slot, failed);
}

void SlotWatcher::reportNotResponding(int slot) {
    setStatus(slot, statusText("Not responding: ", QDateTime::currentDateTime()));
    log_.notResponding(slot, state(slot).name);
}

void SlotWatcher::watchEnd(int slot) {
    State &s = state(slot);
    const int pid = s.settings.immediate ? s.process.pid() : 0;
    if (pid == s.end.pid) {
        return;
    }
    s.end.stop();
    s.end.pid = pid;
    s.end.fd = pid == 0 ? -1 : s.process.duplicateEndDescriptor();
    if (s.end.fd < 0) {
        return; // no descriptor from this kernel: the timer's checks still come
    }
    s.end.notifier = new QSocketNotifier(s.end.fd, QSocketNotifier::Read, this);
    connect(s.end.notifier, &QSocketNotifier::activated, this,
            [this, slot] { processEnded(slot); });
}

void SlotWatcher::processEnded(int slot) {
    State &s = state(slot);
    s.end.stop(); // readable for good from now on
    // Paused or not checked: the timer's checks take it up when they run again.
    if (!s.timer->isActive() || !isWatched(slot)) {
        return;
    }
    // A program that dies young waits for the timer, so one that cannot start
    // is tried once per interval, not in a loop.
    if (s.lastStart.isValid() && s.lastStart.elapsed() < s.timer->interval()) {
        return;
    }
    tick(slot);
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
