#include "engine/internet_watch.h"

#include "core/connection_probe.h"
#include "engine/event_stream.h"
#include "engine/switched_timer.h"

namespace engine {

InternetWatch::InternetWatch(const EventStream &events, QObject *parent)
    : QObject(parent), events_(events), probe_(connection::isConnected) {
    timer_ = new SwitchedTimer(QStringLiteral("Timer11"), 30000, true, this);
    connect(timer_, &QTimer::timeout, this, &InternetWatch::check);
}

void InternetWatch::setProbe(Probe probe) {
    probe_ = std::move(probe);
}

void InternetWatch::check() {
    const bool wasLost = connected_ == false;
    connected_ = probe_();
    if (*connected_) {
        emit checked(true);
        if (wasLost) {
            events_.publish(Event::Kind::ConnectionBack, 0);
        }
        return;
    }
    emit checked(false);
    events_.publish(Event::Kind::ConnectionLost, 0);
}

} // namespace engine
