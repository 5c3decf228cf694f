#pragma once
// What a slot is doing, as data: the status line, `--status` and its JSON are
// formatted from this record and never parsed back.

#include <QDateTime>
#include <QString>

namespace engine {

enum class Phase {
    Unnamed,       ///< no program named: never checked
    NotCheckedYet, ///< named, before its first check
    Running,       ///< found at its last check
    Restarted,     ///< found gone and started again
    RestartFailed, ///< found gone and could not be started
    Waiting,       ///< found gone, waiting for its next start (back-off)
    GaveUp,        ///< found gone too often: no longer started
    NotResponding, ///< running, but its windows do not answer
    Unhealthy,     ///< running, but its health probe fails (reason: why)
    OverLimit,     ///< running, but over its memory or CPU limit (reason: which)
    Closed,        ///< the program it started exited with 0: closed on purpose, not started
};

struct SlotState {
    Phase phase = Phase::Unnamed;
    /// When the slot entered its phase; for Waiting, the time of the next start.
    QDateTime since;
    /// The program's process, when known.
    int pid = 0;
    /// Why, in words, where the phase has a reason (the give-up sentence).
    QString reason;
    /// How the slot's last process ended ("killed by signal 9 (SIGKILL)"), as
    /// its last restart or close told; empty when not known.
    QString lastExit;
    /// When the program was last looked for; invalid before the first time.
    QDateTime lastCheck;

    bool operator==(const SlotState &) const = default;
};

/// The slot's status line as the window shows it ("Last Checked: 3:07:12 PM
/// ,1/15/2004"); empty for a slot not checked yet.
QString statusLine(const SlotState &state);
/// The phase as `--status` names it ("running", "restart failed", ...).
QString phaseName(Phase phase);
/// The time of the phase as the status line shows it: the long time and the
/// short date, or the time alone for a wait; empty when the line has none.
QString shownTime(const SlotState &state);

} // namespace engine
