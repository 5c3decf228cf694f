#pragma once
// A window timer with the enabled/interval model the windows are written against.

#include <QTimer>

namespace engine {

/// Ticks only while it is enabled and its interval is above zero, so an enabled
/// timer with interval 0 is idle rather than firing continuously. Enabling a
/// timer that already runs keeps its countdown.
class FormTimer : public QTimer {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled)

public:
    FormTimer(const QString &name, int intervalMs, bool enabled, QObject *parent);

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    /// Changing the interval of a running timer starts its countdown afresh;
    /// setting the same interval again changes nothing.
    void setIntervalMs(int intervalMs);

private:
    void apply();
    bool enabled_ = false;
};

} // namespace engine
