#pragma once
// The eight slots: each checked on its own timer (Timer2 to Timer9); a program
// found gone is started again and the restart reported. Each slot remembers
// the process it found, so a check costs one process, not the whole list; a
// slot set to restart at once also checks the moment that process ends. A
// slot can wait longer after each quick death and give up on a crash loop.
// Each slot's state is held here as a record; what happens is published on
// the event stream, whose consumers the watcher does not know.

#include "core/child_reaper.h"
#include "core/environment_file.h"
#include "core/launcher.h"
#include "core/process_probe.h"
#include "engine/event_stream.h"
#include "engine/process_end_watch.h"
#include "engine/settings.h"
#include "engine/slot_state.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace engine {

class SwitchedTimer;

class SlotWatcher : public QObject {
    Q_OBJECT

public:
    /// Milliseconds from a steady clock; replaceable so tests need not wait.
    using Clock = std::function<qint64()>;

    SlotWatcher(const EventStream &events, QObject *parent);
    ~SlotWatcher() override;
    SlotWatcher(const SlotWatcher &) = delete;
    SlotWatcher &operator=(const SlotWatcher &) = delete;

    /// Takes the names, folders, command lines and intervals of a fresh read.
    /// An interval that is no number keeps the one in use.
    void apply(const settings::Snapshot &snapshot);

    /// One check of slot N (1 to 8): the same whether its timer or the end of
    /// its process asked for it. A restart sets the slot's state, then
    /// publishes the event.
    void tick(int slot) { check(slot, false); }
    /// The same check asked for from the shell (`--check N`): a restart it
    /// brings about is told as the check's.
    void checkFromShell(int slot) { check(slot, true); }

    /// The status panel's round: an unnamed slot shows its placeholder and is
    /// not checked (its status line cleared), a named one is. True when any
    /// slot is checked.
    bool refresh();

    /// A slot whose name is empty or its placeholder ("Executable N") is not checked.
    bool isWatched(int slot) const;
    QString name(int slot) const { return state(slot).name; }
    const SlotState &slotState(int slot) const { return state(slot).record; }
    /// The status line of slot N as the window shows it.
    QString status(int slot) const { return statusLine(state(slot).record); }
    /// The slot's settings as last applied.
    const settings::Slot &slotSettings(int slot) const { return state(slot).settings; }
    SwitchedTimer *timer(int slot) const { return state(slot).timer; }
    /// Whether slot N is checked on its timer now: named, not paused, and an
    /// interval above 0.
    bool checking(int slot) const;
    /// Paused, no slot is checked and an ended process waits for the checks.
    void setPaused(bool paused);
    bool paused() const { return paused_; }
    /// Holds or lets go the slot timers without pausing (the log viewer holds
    /// them while it reads the log).
    void setTimersEnabled(bool enabled);

    void setClock(Clock clock) { clock_ = std::move(clock); }
    qint64 nowMs() const { return clock_(); }

    /// Slots that gave up on their program are watched again, their restarts
    /// forgotten: the user has seen the alarms.
    void watchGivenUpAgain();

    static QString placeholder(int slot);
    /// The process slot N watches for its end; 0 for none.
    int watchedProcess(int slot) const { return state(slot).end.process.pid; }
    /// The process slot N's checks remember; 0 for none.
    int rememberedProcess(int slot) const { return state(slot).process.pid(); }
    /// That process itself, for watching its end or signalling it.
    const processes::RememberedProcess &remembered(int slot) const { return state(slot).process; }
    /// Reports the slot's program as not responding. The state stays while
    /// that process runs and has not answered.
    void reportNotResponding(int slot);
    /// Whether the process the slot remembers is the one reported.
    bool reportedNotResponding(int slot) const;
    /// The reported program answers again: its check puts the status line back.
    void answersAgain(int slot);
    /// Reports the slot's program as unhealthy or over its limit (`phase`),
    /// for `reason`. The state stays while that process runs, until
    /// healthyAgain().
    void reportUnhealthy(int slot, Phase phase, const QString &reason);
    /// The reported program passes again: back to running, unless it is
    /// reported not responding.
    void healthyAgain(int slot);
    /// Perstando is stopping the slot's program: its end is a restart,
    /// whatever its exit status.
    void stopAsked(int slot);
    /// Children of Perstando that the slot's programs left behind: their
    /// environment holds orphanMark(slot).
    std::vector<int> orphans(int slot) const;
    /// "PERSTANDO_SLOT=N:PID", given to every program the slot starts, so
    /// what it leaves to Perstando is known as the slot's.
    static std::string orphanMark(int slot);

signals:
    void nameChanged(int slot, const QString &name);
    /// The slot's state record changed (a check renews its time).
    void stateChanged(int slot);
    /// Every check of a named slot, with the program as read for it.
    void checked(int slot, const QString &program);
    /// A check found the slot's program running.
    void foundRunning(int slot);

private:
    /// The end of a remembered process, seen by the event loop.
    struct EndWatch {
        /// Kept after the end, so an ended process is not watched again; a
        /// new one with its PID is another process.
        processes::ProcessIdentity process;
        std::unique_ptr<ProcessEndWatch> watch;
        void stop() { watch.reset(); }
    };
    /// Quick deaths and restarts, for waiting longer and giving up.
    struct Crashes {
        struct Start {
            qint64 at;
            bool failed;
        };
        std::deque<Start> starts;        ///< within the give-up window, at most that many
        std::optional<qint64> lastStart; ///< until the program was seen up a minute
        qint64 waitMs = 0;               ///< before that start; 0 for the interval
        std::optional<qint64> due;       ///< the next start, once found gone
        bool gaveUp = false;
    };
    struct State {
        QString name;
        SlotState record;
        settings::Slot settings;
        SwitchedTimer *timer = nullptr;
        processes::RememberedProcess process;
        EndWatch end;
        processes::ProcessIdentity hung;      ///< reported as not responding
        processes::ProcessIdentity unhealthy; ///< reported unhealthy or over its limit
        QElapsedTimer lastStart;              ///< invalid until Perstando started the program
        QString refusal;                      ///< why the last start was refused, once logged
        Crashes crash;
        processes::ProcessIdentity started;   ///< the process Perstando last started
        processes::ProcessIdentity stopAsked; ///< the process Perstando is stopping
        std::vector<std::string> arguments;   ///< the slot's arguments, split as started
        /// How a remembered process ended, reaped when its end was seen.
        struct {
            processes::ProcessIdentity process;
            QString cause;
            std::optional<reaper::ExitCause> reaped; ///< the cause, as data
        } exit;
        /// The logger of the program Perstando last started, and since when
        /// the lines in its file are that program's.
        struct Output {
            core::UniqueFd logger;
            QString path;
            qint64 fromMs = 0;
        } output;
        QString outputProblem; ///< why the last start's output is not kept, once logged
        /// Its program ended cleanly and is not started until it is found
        /// running again or the settings are applied.
        bool closed = false;
        /// What the program was found gone after, kept through a back-off
        /// until the restart tells it.
        std::optional<RestartReason> goneReason;
    };
    State &state(int slot) { return slots_[static_cast<std::size_t>(slot - 1)]; }
    const State &state(int slot) const { return slots_[static_cast<std::size_t>(slot - 1)]; }
    void check(int slot, bool fromShell);
    void setName(int slot, const QString &name);
    /// Puts the slot in `phase` since `since`, for `pid`.
    void enter(int slot, Phase phase, const QDateTime &since, int pid = 0,
               const QString &reason = {});
    void publish(int slot, Event::Kind kind, int pid = 0, const QString &detail = {}) const;
    /// Watches the remembered process's end when the slot restarts at once.
    void watchEnd(int slot);
    void processEnded(int slot);
    /// Reaps the remembered process when it has ended and was Perstando's
    /// child, keeping its cause for the restart.
    void reapRemembered(int slot);
    /// How the process remembered as `previous` ended, as the restart tells it.
    QString exitCause(int slot, const processes::ProcessIdentity &previous) const;
    /// Reaps orphans that came back to Perstando, the remembered processes left
    /// to their slots.
    void sweepOrphans();
    /// Whether a program found gone may be started now: not after giving up,
    /// nor before its wait is over.
    bool mayStart(int slot, qint64 nowMs, const QDateTime &now);
    /// Whether a program found gone stays closed: it is, or the process
    /// that ended (`previous`) was the one Perstando started and exited with
    /// 0 on a slot set to stop then, which closes it now.
    bool staysClosed(int slot, const processes::ProcessIdentity &previous, const QDateTime &now);
    void seenRunning(int slot, qint64 now);
    void watchAgain(int slot);
    /// The slot's extra environment, or why it cannot be had.
    static core::EnvironmentFile environmentOf(const settings::Slot &slot);
    /// Where the slot's program output goes; nullopt when it is not kept.
    static std::optional<launcher::OutputCapture> outputOf(const settings::Slot &slot);
    /// The last lines the process remembered as `previous` wrote, when
    /// Perstando started it with its output kept; its logger is let go.
    QStringList lastOutput(int slot, const processes::ProcessIdentity &previous);

    const EventStream &events_;
    settings::Reader settingsFile_;
    std::array<State, settings::SlotCount> slots_;
    Clock clock_;
    bool paused_ = false;
    /// How often orphans are looked for, checks or not.
    static constexpr int SweepMs = 5000;
    /// The least time between a start and the restart at once that follows it.
    static constexpr qint64 MinRestartGapMs = 100;
    /// How much of an ended program's output its restart tells.
    static constexpr std::size_t LastOutputLines = 20;
    reaper::OrphanSweep orphans_;
    QElapsedTimer lastSweep_;
    QTimer *sweepTimer_ = nullptr;
};

} // namespace engine
