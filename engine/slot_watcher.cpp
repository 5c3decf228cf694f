#include "engine/slot_watcher.h"

#include "core/launcher.h"
#include "core/output_log.h"
#include "core/process_probe.h"
#include "core/process_usage.h"
#include "engine/log_writer.h"
#include "engine/switched_timer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <chrono>

namespace engine {

namespace {

/// Slot 1 matches the executable's name, the others a piece of its path.
processes::Rule ruleOf(int slot) {
    return slot == 1 ? processes::Rule::ExecutableName : processes::Rule::PathContains;
}

/// A program seen up this long after its start did not die young: the waits
/// start over.
constexpr qint64 QuickDeathMs = 60'000;

qint64 steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// The reason a program found gone in `phase` was ended by Perstando.
std::optional<RestartReason> endedFor(Phase phase) {
    switch (phase) {
    case Phase::NotResponding:
        return RestartReason::NotResponding;
    case Phase::Unhealthy:
        return RestartReason::Unhealthy;
    case Phase::OverLimit:
        return RestartReason::OverLimit;
    default:
        return std::nullopt;
    }
}

} // namespace

SlotWatcher::SlotWatcher(const EventStream &events, QObject *parent)
    : QObject(parent), events_(events), clock_(steadyMs) {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        auto *timer = new SwitchedTimer(QStringLiteral("Timer%1").arg(n + 1), 0, true, this);
        state(n).timer = timer;
        connect(timer, &QTimer::timeout, this, [this, n] { tick(n); });
    }
    // Programs started by hand from the windows come back to Perstando too,
    // also when no slot is checked.
    sweepTimer_ = new QTimer(this);
    connect(sweepTimer_, &QTimer::timeout, this, &SlotWatcher::sweepOrphans);
    sweepTimer_->start(SweepMs);
}

SlotWatcher::~SlotWatcher() {
    for (auto &slot : slots_) {
        slot.end.stop();
    }
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
        const bool changed = state(n).settings != read;
        state(n).settings = read;
        state(n).arguments = launcher::splitCommandLine(read.arguments.toStdString());
        // Every activation is a new try, also for a program closed on purpose.
        state(n).closed = false;
        setName(n, read.name);
        // Saved settings are a new try: a slot that gave up is watched again.
        if (changed) {
            watchAgain(n);
        }
        if (read.intervalMs) {
            state(n).timer->setIntervalMs(*read.intervalMs);
        }
        // Restart at once and the hang watch cover the time before the first
        // check too: the process is looked up now, without acting on the answer.
        if ((read.immediate || read.hangSeconds) && isWatched(n) && state(n).process.pid() == 0) {
            try {
                state(n).process.running(
                    ruleOf(n),
                    settingsFile_.current().text(settings::Key::SlotProgram, n).toStdString(),
                    read.workingDirectory.toStdString(), state(n).arguments);
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
        state(n).timer->setEnabled(watched && !paused_);
        if (!watched) {
            enter(n, Phase::Unnamed, {});
            state(n).process.forget();
            watchEnd(n);
        } else if (state(n).record.phase == Phase::Unnamed) {
            enter(n, Phase::NotCheckedYet, QDateTime::currentDateTime());
        }
        any = any || watched;
    }
    return any;
}

bool SlotWatcher::checking(int slot) const {
    return !paused_ && isWatched(slot) && state(slot).timer->isActive();
}

void SlotWatcher::setPaused(bool paused) {
    paused_ = paused;
    // Resumed, the status panel's next round brings back the named slots.
    if (paused) {
        setTimersEnabled(false);
    }
}

void SlotWatcher::setTimersEnabled(bool enabled) {
    for (auto &slot : slots_) {
        slot.timer->setEnabled(enabled && !paused_);
    }
}

void SlotWatcher::setName(int slot, const QString &name) {
    if (state(slot).name != name) {
        state(slot).name = name;
        emit nameChanged(slot, name);
    }
    if (isWatched(slot) && state(slot).record.phase == Phase::Unnamed) {
        enter(slot, Phase::NotCheckedYet, QDateTime::currentDateTime());
    }
}

void SlotWatcher::enter(int slot, Phase phase, const QDateTime &since, int pid,
                        const QString &reason) {
    SlotState &record = state(slot).record;
    record.phase = phase;
    record.since = since;
    record.pid = pid;
    record.reason = reason;
    emit stateChanged(slot);
}

void SlotWatcher::publish(int slot, Event::Kind kind, int pid, const QString &detail) const {
    events_.publish(kind, slot, pid, state(slot).name, detail);
}

void SlotWatcher::check(int slot, bool fromShell) {
    // An unnamed slot is never checked, not even in the moment before the
    // status panel first turns its timer off.
    if (!isWatched(slot)) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 nowMs = clock_();
    // The file as it is now: a program changed in it counts at the next check.
    const QString program = settingsFile_.current().text(settings::Key::SlotProgram, slot);
    // Told, and other children collected, once the program is started: a
    // restart waits for nothing it does not need.
    const auto after = qScopeGuard([this, slot, &program] {
        sweepOrphans();
        emit checked(slot, program);
    });

    // Found the way the start below finds it: links, "..", folder and PATH.
    State &s = state(slot);
    const std::string folder = s.settings.workingDirectory.toStdString();
    reapRemembered(slot);
    const processes::ProcessIdentity previous = s.process.identity();
    bool running = false;
    try {
        running = s.process.running(ruleOf(slot), program.toStdString(), folder, s.arguments);
    } catch (const processes::ListUnavailable &) {
        return; // nothing can be known this tick; the status line keeps its text
    }
    s.record.lastCheck = now;
    if (running) {
        // A hung or unhealthy program is still running: its state stays
        // until it answers or passes.
        const bool unhealthy = s.unhealthy.pid != 0 && s.unhealthy == s.process.identity();
        if (!unhealthy) {
            s.unhealthy = {};
        }
        if (!reportedNotResponding(slot) && !unhealthy) {
            s.hung = {};
            const bool entering =
                s.record.phase != Phase::Running || s.record.pid != s.process.pid();
            enter(slot, Phase::Running, entering ? now : s.record.since, s.process.pid());
        } else {
            emit stateChanged(slot);
        }
        watchEnd(slot);
        seenRunning(slot, nowMs);
        s.goneReason.reset();
        emit foundRunning(slot);
        return;
    }
    // Decided by the first check that finds it gone: a back-off's wait may follow.
    if (!s.goneReason) {
        s.goneReason = endedFor(s.record.phase)
                           .value_or(fromShell ? RestartReason::Check : RestartReason::Gone);
    }
    if (staysClosed(slot, previous, now)) {
        return;
    }
    if (!mayStart(slot, nowMs, now)) {
        return;
    }

    // A start that failed is reported as failed, never as a restart. Without
    // its whole environment the program is not started at all.
    const core::EnvironmentFile environment = environmentOf(s.settings);
    const QString refusal = QString::fromStdString(environment.refusal);
    const bool refusedNew = !refusal.isEmpty() && refusal != s.refusal;
    s.refusal = refusal;
    const QStringList output = lastOutput(slot, previous);
    const std::optional<launcher::OutputCapture> capture = outputOf(s.settings);
    const qint64 startedAtMs = QDateTime::currentMSecsSinceEpoch();
    std::vector<std::string> variables = environment.variables;
    variables.push_back(orphanMark(slot));
    const launcher::Result started =
        refusal.isEmpty()
            ? launcher::start(program.toStdString(), s.settings.arguments.toStdString(), folder,
                              variables, capture ? &*capture : nullptr)
            : launcher::Result{launcher::Failure::AccessDenied};
    const bool failed = !started.ok();
    if (!failed) {
        s.lastStart.start();
    }
    // A logger whose program did not start ends with its pipes; the sweep reaps it.
    if (!failed && started.loggerPid != 0) {
        s.output = {reaper::endDescriptor(started.loggerPid), QString::fromStdString(capture->path),
                    startedAtMs};
    }
    const QString outputProblem = QString::fromStdString(started.outputProblem);
    const bool outputLostNew = !outputProblem.isEmpty() && outputProblem != s.outputProblem;
    s.outputProblem = outputProblem;
    // A start that failed counts too: a wrong path is the commonest loop.
    s.crash.starts.push_back({nowMs, failed});
    while (std::ssize(s.crash.starts) > s.settings.giveUpRestarts) {
        s.crash.starts.pop_front();
    }
    s.crash.lastStart = nowMs;
    s.crash.due.reset();
    // A document opened by association has no PID: the next check walks.
    s.process.remember(started.pid, ruleOf(slot), program.toStdString(), folder, s.arguments);
    s.started = s.process.identity();
    s.stopAsked = {};
    s.hung = {};
    s.unhealthy = {};
    watchEnd(slot);
    s.record.lastExit = exitCause(slot, previous);
    s.exit = {};
    enter(slot, failed ? Phase::RestartFailed : Phase::Restarted, now, s.process.pid(), refusal);
    if (refusedNew) {
        publish(slot, Event::Kind::StartRefused, 0, refusal);
    }
    if (outputLostNew) {
        publish(slot, Event::Kind::OutputNotKept, 0, outputProblem);
    }
    Event restart{failed ? Event::Kind::RestartFailed : Event::Kind::Restarted,
                  slot,
                  QDateTime::currentDateTime(),
                  s.process.pid(),
                  s.name,
                  s.record.lastExit};
    restart.output = output;
    restart.reason = s.goneReason.value_or(RestartReason::Gone);
    s.goneReason.reset();
    events_.publish(restart);
}

namespace {

/// The same process, whichever walk remembered it since.
bool sameProcess(const processes::ProcessIdentity &a, const processes::ProcessIdentity &b) {
    return a.pid == b.pid && a.startTime == b.startTime;
}

} // namespace

void SlotWatcher::reapRemembered(int slot) {
    State &s = state(slot);
    // Only what the launcher started: a process found running may be another
    // part's child (a QProcess), whose end is its own to collect.
    if (s.process.pid() == 0 || !sameProcess(s.process.identity(), s.started) ||
        sameProcess(s.exit.process, s.process.identity())) {
        return;
    }
    const core::UniqueFd end = s.process.duplicateEndDescriptor();
    if (const auto cause = reaper::reap(end.get())) {
        s.exit = {s.process.identity(), QString::fromStdString(cause->text()), cause};
    }
}

QString SlotWatcher::exitCause(int slot, const processes::ProcessIdentity &previous) const {
    const State &s = state(slot);
    if (previous.pid == 0) {
        return {}; // nothing was running: nothing ended
    }
    if (sameProcess(s.exit.process, previous)) {
        return s.exit.cause;
    }
    // Started here but not reaped here (a kernel without end descriptors):
    // its cause is not known, though Perstando started it.
    return sameProcess(previous, s.started) ? QString()
                                            : QString::fromStdString(reaper::unknownCause());
}

bool SlotWatcher::staysClosed(int slot, const processes::ProcessIdentity &previous,
                              const QDateTime &now) {
    State &s = state(slot);
    if (s.closed) {
        emit stateChanged(slot); // its last check is new
        return true;
    }
    // Only a status told by the reaper counts: a cause unknown, a signal, a
    // program Perstando did not start or one it asked to stop is restarted.
    const auto &cause = s.exit.reaped;
    const bool clean = s.settings.stopOnCleanExit && previous.pid != 0 &&
                       !sameProcess(previous, s.stopAsked) && sameProcess(previous, s.started) &&
                       sameProcess(s.exit.process, previous) && cause && !cause->signalled &&
                       cause->number == 0;
    if (!clean) {
        return false;
    }
    s.closed = true;
    // A clean close ends any crash loop: the next start is a fresh one.
    s.crash = {};
    s.record.lastExit = s.exit.cause;
    enter(slot, Phase::Closed, now);
    publish(slot, Event::Kind::Closed);
    return true;
}

void SlotWatcher::sweepOrphans() {
    // A second apart at least: a QProcess child's end reaches Qt meanwhile.
    if (lastSweep_.isValid() && lastSweep_.elapsed() < SweepMs / 5) {
        return;
    }
    lastSweep_.start();
    // The checks sweep too: the timer covers only a time without them, and
    // does not wake the program beside them.
    sweepTimer_->start();
    std::vector<int> keep;
    for (const State &s : slots_) {
        if (s.process.pid() != 0) {
            keep.push_back(s.process.pid());
        }
    }
    orphans_.sweep(keep);
}

core::EnvironmentFile SlotWatcher::environmentOf(const settings::Slot &slot) {
    if (slot.environmentFile.isEmpty()) {
        return {};
    }
    // A relative path is taken from the settings' folder, where the file
    // that names it lives.
    const QString file =
        QDir(settings::settingsFolderText()).absoluteFilePath(slot.environmentFile);
    return core::readEnvironmentFile(file.toStdString());
}

std::optional<launcher::OutputCapture> SlotWatcher::outputOf(const settings::Slot &slot) {
    if (slot.outputFile.isEmpty()) {
        return std::nullopt;
    }
    const outputlog::Limits limits = outputlog::limitsFrom(slot.outputKb, slot.outputFiles);
    // The logger renames the file to rotate it: the path must not depend on
    // the current folder. A relative one is taken from the settings' folder.
    const QString path = QDir(settings::settingsFolderText()).absoluteFilePath(slot.outputFile);
    const QString logger =
        QDir(settings::dataFolderText()).filePath(QString::fromLatin1(outputlog::ProgramName));
    return launcher::OutputCapture{logger.toStdString(), path.toStdString(), limits.maxBytes,
                                   limits.files};
}

QStringList SlotWatcher::lastOutput(int slot, const processes::ProcessIdentity &previous) {
    State::Output ended = std::exchange(state(slot).output, {});
    if (ended.path.isEmpty() || previous.pid == 0 || !sameProcess(previous, state(slot).started)) {
        return {};
    }
    // The logger ends once it has written what the program left in its
    // pipes; children of the program that keep them open make it wait longer.
    constexpr int DrainMs = 50;
    if (ended.logger) {
        reaper::awaitEnd(ended.logger.get(), DrainMs);
        reaper::reap(ended.logger.get());
    }
    // Up to now, so the next program's first lines are not its.
    const std::vector<std::string> lines =
        outputlog::lastLines(ended.path.toStdString(), LastOutputLines, ended.fromMs,
                             QDateTime::currentMSecsSinceEpoch() + 1);
    QStringList out;
    out.reserve(static_cast<qsizetype>(lines.size()));
    for (const auto &line : lines) {
        out.push_back(QString::fromStdString(line));
    }
    return out;
}

bool SlotWatcher::mayStart(int slot, qint64 nowMs, const QDateTime &now) {
    State &s = state(slot);
    Crashes &c = s.crash;
    if (c.gaveUp) {
        return false;
    }
    const settings::Slot &limits = s.settings;
    if (limits.giveUpRestarts > 0 && limits.giveUpMinutes > 0) {
        const qint64 window = qint64{limits.giveUpMinutes} * 60'000;
        while (!c.starts.empty() && nowMs - c.starts.front().at >= window) {
            c.starts.pop_front();
        }
        if (std::ssize(c.starts) >= limits.giveUpRestarts) {
            c.gaveUp = true;
            const bool noneStarted =
                std::all_of(c.starts.begin(), c.starts.end(),
                            [](const Crashes::Start &at) { return at.failed; });
            const QString sentence = LogWriter::giveUpSentence(s.name, limits.giveUpRestarts,
                                                               limits.giveUpMinutes, noneStarted);
            enter(slot, Phase::GaveUp, now, 0, sentence);
            publish(slot, Event::Kind::GaveUp, 0, sentence);
            return false;
        }
    }
    if (limits.backoffSeconds > 0 && c.lastStart) {
        // Decided once per death: the first check that finds it gone.
        if (!c.due) {
            const qint64 longest = qint64{limits.backoffSeconds} * 1000;
            c.waitMs = std::min(std::max<qint64>(c.waitMs, s.timer->interval()) * 2, longest);
            c.due = *c.lastStart + c.waitMs;
        }
        if (nowMs < *c.due) {
            enter(slot, Phase::Waiting, now.addMSecs(*c.due - nowMs));
            return false;
        }
    }
    return true;
}

void SlotWatcher::seenRunning(int slot, qint64 now) {
    state(slot).closed = false; // the user started it again
    Crashes &c = state(slot).crash;
    if (c.gaveUp) {
        watchAgain(slot); // started by hand, or it came back on its own
        return;
    }
    c.due.reset();
    if (c.lastStart && now - *c.lastStart >= QuickDeathMs) {
        c.lastStart.reset();
        c.waitMs = 0;
    }
}

void SlotWatcher::watchAgain(int slot) {
    State &s = state(slot);
    const bool gaveUp = s.crash.gaveUp;
    s.crash = {};
    s.goneReason.reset();
    if (gaveUp) {
        publish(slot, Event::Kind::WatchedAgain);
    }
}

void SlotWatcher::watchGivenUpAgain() {
    for (int n = 1; n <= settings::SlotCount; ++n) {
        if (state(n).crash.gaveUp) {
            watchAgain(n);
        }
    }
}

void SlotWatcher::reportNotResponding(int slot) {
    State &s = state(slot);
    s.hung = s.process.identity();
    enter(slot, Phase::NotResponding, QDateTime::currentDateTime(), s.hung.pid);
    publish(slot, Event::Kind::NotResponding, s.hung.pid);
}

bool SlotWatcher::reportedNotResponding(int slot) const {
    const State &s = state(slot);
    return s.hung.pid != 0 && s.hung == s.process.identity();
}

void SlotWatcher::answersAgain(int slot) {
    const int pid = state(slot).hung.pid;
    state(slot).hung = {};
    publish(slot, Event::Kind::RespondingAgain, pid);
    tick(slot);
}

void SlotWatcher::reportUnhealthy(int slot, Phase phase, const QString &reason) {
    State &s = state(slot);
    s.unhealthy = s.process.identity();
    enter(slot, phase, QDateTime::currentDateTime(), s.unhealthy.pid, reason);
    publish(slot, Event::Kind::Unhealthy, s.unhealthy.pid, reason);
}

void SlotWatcher::healthyAgain(int slot) {
    State &s = state(slot);
    const int pid = s.unhealthy.pid;
    s.unhealthy = {};
    publish(slot, Event::Kind::HealthyAgain, pid);
    if (reportedNotResponding(slot)) {
        enter(slot, Phase::NotResponding, s.record.since, s.hung.pid);
    } else if (s.record.phase == Phase::Unhealthy || s.record.phase == Phase::OverLimit) {
        enter(slot, Phase::Running, QDateTime::currentDateTime(), pid);
    }
}

void SlotWatcher::watchEnd(int slot) {
    State &s = state(slot);
    const processes::ProcessIdentity process =
        s.settings.immediate ? s.process.identity() : processes::ProcessIdentity{};
    if (process == s.end.process) {
        return;
    }
    s.end.stop();
    s.end.process = process;
    if (process.pid == 0) {
        return;
    }
    // Without a descriptor from this kernel the timer's checks still come.
    s.end.watch = ProcessEndWatch::watch(s.process);
    if (s.end.watch) {
        connect(s.end.watch.get(), &ProcessEndWatch::ended, this,
                [this, slot] { processEnded(slot); });
    }
}

void SlotWatcher::processEnded(int slot) {
    State &s = state(slot);
    s.end.stop();         // ended for good
    reapRemembered(slot); // no zombie waits for the next check
    // Paused or not checked: the timer's checks take it up when they run again.
    if (!checking(slot)) {
        return;
    }
    // Every end is taken up at once, also right after a start: crash loops
    // are where it matters most. Only a program that dies within the first
    // tenth of its interval waits for the rest of that tenth, so one that
    // cannot start is not tried in a tight loop.
    const qint64 floorMs = std::clamp<qint64>(s.timer->interval() / 10, MinRestartGapMs,
                                              std::max(s.timer->interval(), 1));
    const qint64 wait = s.lastStart.isValid() ? floorMs - s.lastStart.elapsed() : 0;
    if (wait <= 0) {
        tick(slot);
        return;
    }
    const processes::ProcessIdentity ended = s.end.process;
    QTimer::singleShot(std::chrono::milliseconds(wait), this, [this, slot, ended] {
        // Only while nothing has been started or found since.
        if (checking(slot) && state(slot).end.process == ended) {
            tick(slot);
        }
    });
}

std::vector<int> SlotWatcher::orphans(int slot) const {
    return processes::childrenMarked(orphanMark(slot));
}

std::string SlotWatcher::orphanMark(int slot) {
    return "PERSTANDO_SLOT=" + std::to_string(slot) + ':' +
           std::to_string(QCoreApplication::applicationPid());
}

void SlotWatcher::stopAsked(int slot) {
    state(slot).stopAsked = state(slot).process.identity();
}

} // namespace engine
