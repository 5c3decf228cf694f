#include "engine/internet_watch.h"

#include "core/connection_probe.h"
#include "engine/form_timer.h"
#include "engine/log_writer.h"

namespace engine {

InternetWatch::InternetWatch(const LogWriter &log, QObject *parent)
    : QObject(parent), log_(log), probe_(connection::isConnected) {
    timer_ = new FormTimer(QStringLiteral("Timer11"), 30000, true, this);
    connect(timer_, &QTimer::timeout, this, &InternetWatch::check);
}

void InternetWatch::setProbe(Probe probe) {
    probe_ = std::move(probe);
}

void InternetWatch::check() {
    connected_ = probe_();
    if (*connected_) {
        emit checked(true);
        return;
    }
    // Alarms first: a log that cannot be written must not keep them quiet.
    emit connectionLost();
    emit checked(false);
    log_.event(QStringLiteral(" Internet Connection has been Lost!"));
}

} // namespace engine
