#include "engine/error_window_sweep.h"

#include "core/window_closer.h"
#include "engine/form_timer.h"

namespace engine {

ErrorWindowSweep::ErrorWindowSweep(QObject *parent) : QObject(parent) {
    timer_ = new FormTimer(QStringLiteral("Timer14"), 500, true, this);
    connect(timer_, &QTimer::timeout, this, &ErrorWindowSweep::sweep);
}

void ErrorWindowSweep::sweep() {
    for (const char *title : {"Error Reporting", "Application Error", "Application error"}) {
        if (const auto closed = windowcloser::closeTopmostTitled(title)) {
            emit windowDismissed(QString::fromStdString(closed->title));
        }
    }
}

} // namespace engine
