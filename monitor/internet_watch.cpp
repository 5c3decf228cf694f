#include "monitor/internet_watch.h"

#include "core/connection_probe.h"
#include "engine/locale_text.h"
#include "monitor/main_window.h"

#include <QLabel>

InternetWatch::InternetWatch(Form1 &form, QLabel &indicator)
    : QObject(&form), form_(form), indicator_(indicator), probe_(connection::isConnected) {}

void InternetWatch::setProbe(Probe probe) {
    probe_ = std::move(probe);
}

void InternetWatch::check() {
    if (probe_()) {
        indicator_.setToolTip(QStringLiteral("Internet Connection is now Active"));
        return;
    }
    // Alarms first: a log that cannot be written must not keep them quiet.
    if (form_.held().visual == QStringLiteral("On")) {
        form_.startVisualAlarm();
    }
    if (form_.held().audio == QStringLiteral("On")) {
        form_.startAudioAlarm();
    }
    indicator_.setToolTip(QStringLiteral("Internet Connection has been Lost"));
    const QString separator(54, QLatin1Char('*'));
    form_.appendLog({separator,
                     engine::timestampNow() + QStringLiteral(" Internet Connection has been Lost!"),
                     separator});
}
