#include "engine/switched_timer.h"

namespace engine {

SwitchedTimer::SwitchedTimer(const QString &name, int intervalMs, bool enabled, QObject *parent)
    : QTimer(parent), enabled_(enabled) {
    setObjectName(name);
    setTimerType(Qt::PreciseTimer);
    setInterval(intervalMs);
    apply();
}

void SwitchedTimer::setEnabled(bool enabled) {
    if (enabled_ == enabled) {
        return;
    }
    enabled_ = enabled;
    apply();
}

void SwitchedTimer::setHeld(bool held) {
    if (held_ == held) {
        return;
    }
    held_ = held;
    apply();
}

void SwitchedTimer::setIntervalMs(int intervalMs) {
    if (intervalMs == interval()) {
        return;
    }
    setInterval(intervalMs);
    if (isActive()) {
        stop();
    }
    apply();
}

void SwitchedTimer::apply() {
    const bool shouldRun = enabled_ && !held_ && interval() > 0;
    if (shouldRun && !isActive()) {
        start();
    } else if (!shouldRun && isActive()) {
        stop();
    }
}

} // namespace engine
