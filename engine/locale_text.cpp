#include "engine/locale_text.h"

#include <QLocale>
#include <QRegularExpression>

namespace engine {

QString shortDate(const QDate &date) {
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    // Two-digit years are ambiguous in a log kept for years.
    static const QRegularExpression shortYear(QStringLiteral("(?<!y)yy(?!y)"));
    format.replace(shortYear, QStringLiteral("yyyy"));
    return QLocale().toString(date, format);
}

QString longTime(const QTime &time) {
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*\\(?t+\\)?"));
    format.remove(zone);
    return QLocale().toString(time, format.trimmed());
}

QString generalDateTime(const QDateTime &when) {
    return shortDate(when.date()) + QLatin1Char(' ') + longTime(when.time());
}

QString timestampNow() {
    return generalDateTime(QDateTime::currentDateTime());
}

} // namespace engine
