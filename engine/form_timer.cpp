#include "engine/form_timer.h"

namespace engine {

FormTimer::FormTimer(const QString &name, int intervalMs, bool enabled, QObject *parent)
    : QTimer(parent), enabled_(enabled) {
    setObjectName(name);
    setTimerType(Qt::PreciseTimer);
    setInterval(intervalMs);
    apply();
}

void FormTimer::setEnabled(bool enabled) {
    if (enabled_ == enabled) {
        return;
    }
    enabled_ = enabled;
    apply();
}

void FormTimer::setIntervalMs(int intervalMs) {
    if (intervalMs == interval()) {
        return;
    }
    setInterval(intervalMs);
    if (isActive()) {
        stop();
    }
    apply();
}

void FormTimer::apply() {
    const bool shouldRun = enabled_ && interval() > 0;
    if (shouldRun && !isActive()) {
        start();
    } else if (!shouldRun && isActive()) {
        stop();
    }
}

} // namespace engine
