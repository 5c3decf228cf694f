#include "engine/status_report.h"

#include "engine/alarm_state.h"
#include "engine/form_timer.h"
#include "engine/internet_watch.h"
#include "engine/slot_watcher.h"
#include "engine/watchdog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <optional>
#include <vector>

namespace engine {
namespace {

struct SlotState {
    int slot = 0;
    QString name;
    QString state; ///< as in the JSON "state" field
    QString since; ///< the time in the status line, when it has one
    int pid = 0;
    QDateTime lastCheck;
};

/// The status line's prefixes and the states they stand for.
struct Prefix {
    const char *line;
    const char *state;
};
constexpr Prefix Prefixes[] = {
    {"Last Checked: ", "running"},          {"Restarted: ", "restarted"},
    {"Restart failed: ", "restart failed"}, {"Gave up: ", "gave up"},
    {"Not responding: ", "not responding"}, {"Next restart: ", "waiting"},
};

std::vector<SlotState> slotStates(Watchdog &watchdog) {
    SlotWatcher &watcher = watchdog.slotWatcher();
    std::vector<SlotState> states;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        if (!watcher.isWatched(n)) {
            continue;
        }
        SlotState s{n, watcher.name(n),     QStringLiteral("not checked yet"), {},
                    0, watcher.lastCheck(n)};
        const QString line = watcher.status(n);
        for (const Prefix &prefix : Prefixes) {
            if (line.startsWith(QLatin1String(prefix.line))) {
                s.state = QString::fromLatin1(prefix.state);
                // "12:00:01 ,08/12/2026" as the window shows it, without its odd comma
                s.since = line.mid(int(qstrlen(prefix.line)))
                              .replace(QStringLiteral(" ,"), QStringLiteral(" "))
                              .trimmed();
            }
        }
        if (watcher.timer(n)->interval() == 0) {
            s.state = QStringLiteral("not checked");
            s.since.clear();
        }
        if (s.state == QLatin1String("running") || s.state == QLatin1String("restarted") ||
            s.state == QLatin1String("not responding")) {
            s.pid = watcher.rememberedProcess(n);
        }
        states.push_back(s);
    }
    return states;
}

QString timeText(const QDateTime &time) {
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

std::optional<QString> internetState(Watchdog &watchdog) {
    if (!watchdog.settings().watchInternet) {
        return std::nullopt;
    }
    const auto connected = watchdog.internetWatch().connected();
    if (!connected) {
        return QStringLiteral("not checked yet");
    }
    return *connected ? QStringLiteral("connected") : QStringLiteral("lost");
}

} // namespace

QString statusText(Watchdog &watchdog, bool paused) {
    QString text;
    for (const SlotState &s : slotStates(watchdog)) {
        QString state = s.state;
        if (s.pid > 0) {
            state += QStringLiteral(" (PID %1)").arg(s.pid);
        }
        if (!s.since.isEmpty() && s.state != QLatin1String("running")) {
            state += QLatin1Char(' ') + s.since;
        }
        const QString checked =
            s.lastCheck.isValid() ? timeText(s.lastCheck) : QStringLiteral("never");
        text +=
            QStringLiteral("%1 %2: %3, last check %4\n").arg(s.slot).arg(s.name, state, checked);
    }
    text += paused ? QStringLiteral("checking: paused\n") : QStringLiteral("checking: on\n");
    AlarmState &alarms = watchdog.alarms();
    QStringList raised;
    if (alarms.visualRaised()) {
        raised << QStringLiteral("visual");
    }
    if (alarms.audioRaised()) {
        raised << QStringLiteral("audio");
    }
    text += QStringLiteral("alarms: %1\n")
                .arg(raised.isEmpty() ? QStringLiteral("none") : raised.join(QStringLiteral(", ")));
    if (const auto internet = internetState(watchdog)) {
        text += QStringLiteral("internet: %1\n").arg(*internet);
    }
    return text;
}

QByteArray statusJson(Watchdog &watchdog, bool paused) {
    QJsonArray list;
    for (const SlotState &s : slotStates(watchdog)) {
        QJsonObject slot{{QStringLiteral("slot"), s.slot},
                         {QStringLiteral("name"), s.name},
                         {QStringLiteral("state"), s.state}};
        if (s.pid > 0) {
            slot.insert(QStringLiteral("pid"), s.pid);
        }
        if (!s.since.isEmpty()) {
            slot.insert(QStringLiteral("since"), s.since);
        }
        slot.insert(QStringLiteral("lastCheck"), s.lastCheck.isValid()
                                                     ? QJsonValue(s.lastCheck.toString(Qt::ISODate))
                                                     : QJsonValue());
        list.append(slot);
    }
    QJsonObject root{{QStringLiteral("slots"), list},
                     {QStringLiteral("paused"), paused},
                     {QStringLiteral("alarms"),
                      QJsonObject{{QStringLiteral("visual"), watchdog.alarms().visualRaised()},
                                  {QStringLiteral("audio"), watchdog.alarms().audioRaised()}}}};
    if (const auto internet = internetState(watchdog)) {
        root.insert(QStringLiteral("internet"), *internet);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace engine
