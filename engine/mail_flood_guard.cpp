#include "engine/mail_flood_guard.h"

#include "engine/locale_text.h"

namespace engine {

bool MailFloodGuard::admit(int slot, qint64 nowMs, int minutes) {
    PerSlot &s = of(slot);
    const qint64 spanMs = qint64{minutes} * 60'000;
    if (minutes > 0 && s.lastAdmittedMs && nowMs - *s.lastAdmittedMs < spanMs) {
        ++s.held;
        return false;
    }
    s.lastAdmittedMs = nowMs;
    return true;
}

QString MailFloodGuard::takeHeldLine(int slot, const QString &name, const QDateTime &now) {
    PerSlot &s = of(slot);
    QString line;
    if (s.held > 0 && s.lastMail.isValid()) {
        // A count that spans midnight says which day it started.
        QString since = longTime(s.lastMail.time());
        if (s.lastMail.date() != now.date()) {
            since += QStringLiteral(" ,") + shortDate(s.lastMail.date());
        }
        line =
            name + QStringLiteral(" was restarted %1 more times since %2.").arg(s.held).arg(since);
    }
    s.held = 0;
    s.lastMail = now;
    return line;
}

} // namespace engine
