#include "engine/status_report.h"

#include "engine/alarm_state.h"
#include "engine/health_watch.h"
#include "engine/internet_watch.h"
#include "engine/mailer.h"
#include "engine/slot_state.h"
#include "engine/slot_watcher.h"
#include "engine/switched_timer.h"
#include "engine/watchdog.h"
#include "engine/webhook.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <optional>
#include <vector>

namespace engine {
namespace {

struct SlotLine {
    int slot = 0;
    QString name;
    QString state; ///< as in the JSON "state" field
    const SlotState *record = nullptr;
    bool timed = false; ///< the state has a time of its own
    int pid = 0;
    const HealthRecord *health = nullptr;
};

} // namespace

QString slotStateName(const SlotWatcher &watcher, int slot) {
    if (watcher.timer(slot)->interval() == 0) {
        return QStringLiteral("not checked");
    }
    const Phase phase = watcher.slotState(slot).phase;
    // Unnamed: named since the last round.
    return phaseName(phase == Phase::Unnamed ? Phase::NotCheckedYet : phase);
}

namespace {

std::vector<SlotLine> slotLines(const Watchdog &watchdog) {
    const SlotWatcher &watcher = watchdog.slotWatcher();
    std::vector<SlotLine> lines;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        if (!watcher.isWatched(n)) {
            continue;
        }
        const SlotState &record = watcher.slotState(n);
        SlotLine line{n, watcher.name(n), slotStateName(watcher, n), &record, false, 0};
        line.timed = watcher.timer(n)->interval() != 0 && !shownTime(record).isEmpty();
        if (record.phase == Phase::Running || record.phase == Phase::Restarted ||
            record.phase == Phase::NotResponding || record.phase == Phase::Unhealthy ||
            record.phase == Phase::OverLimit) {
            line.pid = record.pid;
        }
        line.health = &watchdog.healthWatch().record(n);
        lines.push_back(line);
    }
    return lines;
}

QString timeText(const QDateTime &time) {
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString();
}

std::optional<QString> internetState(const Watchdog &watchdog) {
    if (!watchdog.settings().watchInternet) {
        return std::nullopt;
    }
    const auto connected = watchdog.internetWatch().connected();
    if (!connected) {
        return QStringLiteral("not checked yet");
    }
    return *connected ? QStringLiteral("connected") : QStringLiteral("lost");
}

/// ", health: failing (HTTP 503 ...) at 2026-12-08 10:00:00, 812 MiB, 3 % of a
/// core": only what the slot's probe and readings have to say.
QString healthText(const HealthRecord &health) {
    QString text;
    if (health.probed) {
        if (!health.last) {
            text += QStringLiteral(", health: not probed yet");
        } else {
            text += QStringLiteral(", health: %1 (%2) at %3")
                        .arg(health.last->healthy ? QStringLiteral("passing")
                                                  : QStringLiteral("failing"),
                             health.last->reason, timeText(health.last->at));
        }
    }
    if (health.memoryMiB) {
        text += QStringLiteral(", %1 MiB").arg(*health.memoryMiB, 0, 'f', 1);
    }
    if (health.cpuPercent) {
        text += QStringLiteral(", %1 % of a core").arg(*health.cpuPercent, 0, 'f', 1);
    }
    return text;
}

/// The webhook's last final failure without the channel's prefix the log line has.
QString webhookFailure(const WebhookSender &webhook) {
    QString reason = webhook.lastFailure();
    const QLatin1String prefix("webhook: ");
    return reason.startsWith(prefix) ? reason.mid(prefix.size()) : reason;
}

} // namespace

QString statusText(const Watchdog &watchdog) {
    QString text;
    for (const SlotLine &s : slotLines(watchdog)) {
        QString state = s.state;
        if (s.pid > 0) {
            state += QStringLiteral(" (PID %1)").arg(s.pid);
        }
        // A running program's time is its last check, said once.
        if (s.timed && s.record->phase != Phase::Running) {
            state += QLatin1Char(' ') + shownTime(*s.record);
        }
        const QDateTime &lastCheck = s.record->lastCheck;
        const QString checked = lastCheck.isValid() ? timeText(lastCheck) : QStringLiteral("never");
        const QString lastExit = s.record->lastExit.isEmpty()
                                     ? QString()
                                     : QStringLiteral(", last exit: ") + s.record->lastExit;
        text += QStringLiteral("%1 %2: %3, last check %4%5%6\n")
                    .arg(s.slot)
                    .arg(s.name, state, checked, lastExit, healthText(*s.health));
    }
    text +=
        watchdog.paused() ? QStringLiteral("checking: paused\n") : QStringLiteral("checking: on\n");
    const AlarmState &alarms = watchdog.alarms();
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
    if (!watchdog.settings().webhook.url.isEmpty()) {
        const WebhookSender &webhook = watchdog.webhook();
        QString line = webhook.lastFailure().isEmpty()
                           ? QStringLiteral("no failure")
                           : QStringLiteral("last failure at %1: %2")
                                 .arg(timeText(webhook.lastFailureTime()), webhookFailure(webhook));
        if (webhook.dropped() > 0) {
            line += QStringLiteral(", %1 alerts dropped").arg(webhook.dropped());
        }
        text += QStringLiteral("webhook: %1\n").arg(line);
    }
    // The alerts' mailer, found by its name: the test e-mail's has another.
    const auto *mailer = watchdog.findChild<Mailer *>(QStringLiteral("Mailer"));
    if (mailer && mailer->dropped() > 0) {
        text += QStringLiteral("mail: %1 restart e-mails dropped, %2 waiting\n")
                    .arg(mailer->dropped())
                    .arg(mailer->pendingMails());
    }
    return text;
}

QByteArray statusJson(const Watchdog &watchdog) {
    const auto iso = [](const QDateTime &time) {
        return time.isValid() ? QJsonValue(time.toString(Qt::ISODate)) : QJsonValue();
    };
    QJsonArray list;
    for (const SlotLine &s : slotLines(watchdog)) {
        QJsonObject slot{{QStringLiteral("slot"), s.slot},
                         {QStringLiteral("name"), s.name},
                         {QStringLiteral("state"), s.state}};
        if (s.pid > 0) {
            slot.insert(QStringLiteral("pid"), s.pid);
        }
        if (s.timed) {
            slot.insert(QStringLiteral("since"), iso(s.record->since));
        }
        slot.insert(QStringLiteral("lastCheck"), iso(s.record->lastCheck));
        // null until a restart told how the slot's last process ended
        slot.insert(QStringLiteral("lastExit"),
                    s.record->lastExit.isEmpty() ? QJsonValue() : QJsonValue(s.record->lastExit));
        if (s.health->probed) {
            QJsonObject health;
            if (s.health->last) {
                health = {{QStringLiteral("healthy"), s.health->last->healthy},
                          {QStringLiteral("reason"), s.health->last->reason},
                          {QStringLiteral("time"), iso(s.health->last->at)}};
            }
            health.insert(QStringLiteral("failures"), s.health->failures);
            slot.insert(QStringLiteral("health"), health);
        }
        if (s.health->memoryMiB) {
            slot.insert(QStringLiteral("memoryMiB"), *s.health->memoryMiB);
        }
        if (s.health->cpuPercent) {
            slot.insert(QStringLiteral("cpuPercent"), *s.health->cpuPercent);
        }
        list.append(slot);
    }
    QJsonObject root{{QStringLiteral("slots"), list},
                     {QStringLiteral("paused"), watchdog.paused()},
                     {QStringLiteral("alarms"),
                      QJsonObject{{QStringLiteral("visual"), watchdog.alarms().visualRaised()},
                                  {QStringLiteral("audio"), watchdog.alarms().audioRaised()}}}};
    if (const auto internet = internetState(watchdog)) {
        root.insert(QStringLiteral("internet"), *internet);
    }
    if (!watchdog.settings().webhook.url.isEmpty()) {
        const WebhookSender &webhook = watchdog.webhook();
        const QString failure = webhookFailure(webhook);
        root.insert(QStringLiteral("webhook"),
                    QJsonObject{{QStringLiteral("lastFailure"),
                                 failure.isEmpty() ? QJsonValue() : QJsonValue(failure)},
                                {QStringLiteral("lastFailureTime"), iso(webhook.lastFailureTime())},
                                {QStringLiteral("dropped"), webhook.dropped()}});
    }
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace engine
