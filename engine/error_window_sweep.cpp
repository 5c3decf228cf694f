#include "engine/error_window_sweep.h"

#include "core/window_closer.h"
#include "engine/event_stream.h"
#include "engine/switched_timer.h"

namespace engine {

ErrorWindowSweep::ErrorWindowSweep(const EventStream &events, QObject *parent)
    : QObject(parent), events_(events) {
    timer_ = new SwitchedTimer(QStringLiteral("Timer14"), 500, true, this);
    connect(timer_, &QTimer::timeout, this, &ErrorWindowSweep::sweep);
}

void ErrorWindowSweep::sweep() {
    // One listing of the windows for the three titles.
    static const std::vector<std::string_view> titles = {"Error Reporting", "Application Error",
                                                         "Application error"};
    for (const auto &closed : windowcloser::closeTopmostTitled(titles)) {
        if (closed) {
            events_.publish(Event::Kind::ErrorWindowDismissed, 0, 0, {},
                            QString::fromStdString(closed->title));
        }
    }
}

} // namespace engine
