#include "engine/slot_state.h"

#include "engine/locale_text.h"

namespace engine {

namespace {

/// The status line's words before the time, per phase.
const char *linePrefix(Phase phase) {
    switch (phase) {
    case Phase::Running:
        return "Last Checked: ";
    case Phase::Restarted:
        return "Restarted: ";
    case Phase::RestartFailed:
        return "Restart failed: ";
    case Phase::Waiting:
        return "Next restart: ";
    case Phase::GaveUp:
        return "Gave up: ";
    case Phase::NotResponding:
        return "Not responding: ";
    case Phase::Unhealthy:
        return "Unhealthy: ";
    case Phase::OverLimit:
        return "Over its limit: ";
    case Phase::Closed:
        return "Closed: ";
    case Phase::Unnamed:
    case Phase::NotCheckedYet:
        break;
    }
    return nullptr;
}

/// A running program's line shows its last check; the others when they began.
QDateTime lineTime(const SlotState &state) {
    return state.phase == Phase::Running ? state.lastCheck : state.since;
}

/// The time of the phase, the date after it unless the slot waits; empty for
/// a phase without a line.
QString timeOf(const SlotState &state, const QString &beforeDate) {
    if (!linePrefix(state.phase)) {
        return {};
    }
    const QDateTime time = lineTime(state);
    if (state.phase == Phase::Waiting) {
        return longTime(time.time());
    }
    return longTime(time.time()) + beforeDate + shortDate(time.date());
}

} // namespace

QString statusLine(const SlotState &state) {
    const char *prefix = linePrefix(state.phase);
    // The blank goes before the comma, none after it.
    return prefix ? QString::fromLatin1(prefix) + timeOf(state, QStringLiteral(" ,")) : QString();
}

QString shownTime(const SlotState &state) {
    return timeOf(state, QStringLiteral(" "));
}

QString phaseName(Phase phase) {
    switch (phase) {
    case Phase::Unnamed:
        return QStringLiteral("unnamed");
    case Phase::NotCheckedYet:
        return QStringLiteral("not checked yet");
    case Phase::Running:
        return QStringLiteral("running");
    case Phase::Restarted:
        return QStringLiteral("restarted");
    case Phase::RestartFailed:
        return QStringLiteral("restart failed");
    case Phase::Waiting:
        return QStringLiteral("waiting");
    case Phase::GaveUp:
        return QStringLiteral("gave up");
    case Phase::NotResponding:
        return QStringLiteral("not responding");
    case Phase::Unhealthy:
        return QStringLiteral("unhealthy");
    case Phase::OverLimit:
        return QStringLiteral("over its limit");
    case Phase::Closed:
        return QStringLiteral("closed");
    }
    return {};
}

} // namespace engine
