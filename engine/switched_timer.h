#pragma once
// A timer with an on/off switch beside its interval: the slot checks, the
// status panel and the windows' own timers are switched on and off by what
// they serve, and a switched-on timer with interval 0 stays idle.

#include <QTimer>

namespace engine {

/// Ticks only while it is enabled, not held and its interval is above zero, so
/// an enabled timer with interval 0 is idle rather than firing continuously. Enabling a
/// timer that already runs keeps its countdown.
class SwitchedTimer : public QTimer {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled)

public:
    SwitchedTimer(const QString &name, int intervalMs, bool enabled, QObject *parent);

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    /// A held timer keeps its switch but does not tick: what it serves is not
    /// shown. Let go, an enabled timer starts its countdown afresh.
    bool isHeld() const { return held_; }
    void setHeld(bool held);
    /// Changing the interval of a running timer starts its countdown afresh;
    /// setting the same interval again changes nothing.
    void setIntervalMs(int intervalMs);

private:
    void apply();
    bool enabled_ = false;
    bool held_ = false;
};

} // namespace engine
