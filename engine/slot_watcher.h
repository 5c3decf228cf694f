#pragma once
// The eight slots: each checked on its own timer (Timer2 to Timer9); a program
// found gone is started again and the restart reported. Each slot remembers
// the process it found, so a check costs one process, not the whole list; a
// slot set to restart at once also checks the moment that process ends. A
// slot can wait longer after each quick death and give up on a crash loop.
// Names, placeholders and status lines are held here; the windows show them.

#include "core/process_probe.h"
#include "engine/process_end_watch.h"
#include "engine/settings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace engine {

class FormTimer;
class LogWriter;

class SlotWatcher : public QObject {
    Q_OBJECT

public:
    /// Milliseconds from a steady clock; replaceable so tests need not wait.
    using Clock = std::function<qint64()>;

    SlotWatcher(const LogWriter &log, QObject *parent);
    ~SlotWatcher() override;
    SlotWatcher(const SlotWatcher &) = delete;
    SlotWatcher &operator=(const SlotWatcher &) = delete;

    /// Takes the names, folders, command lines and intervals of a fresh read.
    /// An interval that is no number keeps the one in use.
    void apply(const settings::Snapshot &snapshot);

    /// One check of slot N (1 to 8): the same whether its timer or the end of
    /// its process asked for it. Every step of a restart (command-line
    /// action, log entry, the restarted signal) runs whatever the others did:
    /// a log that cannot be written silences nothing.
    void tick(int slot);

    /// The status panel's round: an unnamed slot shows its placeholder and is
    /// not checked (its status line cleared), a named one is. True when any
    /// slot is checked.
    bool refresh();

    /// A slot whose name is empty or its placeholder ("Executable N") is not checked.
    bool isWatched(int slot) const;
    QString name(int slot) const { return state(slot).name; }
    QString status(int slot) const { return state(slot).status; }
    /// When slot N's program was last looked for; invalid before the first time.
    QDateTime lastCheck(int slot) const { return state(slot).lastCheck; }
    FormTimer *timer(int slot) const { return state(slot).timer; }
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
    /// Reports the slot's program as not responding: status line and log entry.
    /// The status line stays while that process runs and has not answered.
    void reportNotResponding(int slot);
    /// Whether the process the slot remembers is the one reported.
    bool reportedNotResponding(int slot) const;
    /// The reported program answers again: its check puts the status line back.
    void answersAgain(int slot);

signals:
    void nameChanged(int slot, const QString &name);
    void statusChanged(int slot, const QString &text);
    /// Every check of a named slot, with the program as read for it.
    void checked(int slot, const QString &program);
    /// The command-line action of a restart was started, or could not be.
    void commandLineRun(int slot, bool initiated);
    /// The program was gone and started again (or the start failed); its log
    /// entry is written by then.
    void restarted(int slot, bool failed);
    /// The program ended again after as many restarts as the slot allows; it
    /// is no longer started, and the give-up entry is written by then.
    void gaveUp(int slot, const QString &sentence);

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
        QString status;
        settings::Slot settings;
        FormTimer *timer = nullptr;
        processes::RememberedProcess process;
        EndWatch end;
        processes::ProcessIdentity hung; ///< reported as not responding
        QElapsedTimer lastStart;         ///< invalid until Perstando started the program
        QDateTime lastCheck;
        Crashes crash;
    };
    State &state(int slot) { return slots_[static_cast<std::size_t>(slot - 1)]; }
    const State &state(int slot) const { return slots_[static_cast<std::size_t>(slot - 1)]; }
    void setName(int slot, const QString &name);
    void setStatus(int slot, const QString &text);
    void runCommandLine(int slot);
    /// Watches the remembered process's end when the slot restarts at once.
    void watchEnd(int slot);
    void processEnded(int slot);
    /// Whether a program found gone may be started now: not after giving up,
    /// nor before its wait is over.
    bool mayStart(int slot, qint64 nowMs, const QDateTime &now);
    void seenRunning(int slot, qint64 now);
    void watchAgain(int slot);

    const LogWriter &log_;
    std::array<State, settings::SlotCount> slots_;
    Clock clock_;
};

} // namespace engine
