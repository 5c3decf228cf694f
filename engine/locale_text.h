#pragma once
// Dates and times as the user's locale writes them ("general" date and time).

#include <QDateTime>
#include <QString>

namespace engine {

/// Short date with a four-digit year: 1/15/2004 in en_US.
QString shortDate(const QDate &date);
/// Long time without a time zone: 3:07:12 PM in en_US.
QString longTime(const QTime &time);
/// Short date, a blank, long time: 1/15/2004 3:07:12 PM in en_US.
QString generalDateTime(const QDateTime &when);
/// The general date and time of now.
QString timestampNow();

} // namespace engine
