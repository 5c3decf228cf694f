#include "engine/alert_events.h"

#include "engine/log_writer.h"
#include "engine/webhook.h"

#include <array>
#include <utility>

namespace engine {

namespace {

using Kind = Event::Kind;

constexpr std::array<std::pair<Kind, const char *>, 10> Names{{
    {Kind::Restarted, "restarted"},
    {Kind::RestartFailed, "restart failed"},
    {Kind::GaveUp, "gave up"},
    {Kind::NotResponding, "not responding"},
    {Kind::Unhealthy, "unhealthy"},
    {Kind::ConnectionLost, "connection lost"},
    {Kind::WatchedAgain, "watched again"},
    {Kind::RespondingAgain, "responding again"},
    {Kind::HealthyAgain, "healthy again"},
    {Kind::ConnectionBack, "connection back"},
}};

QString sentenceOf(const Event &event) {
    switch (event.kind) {
    case Kind::Restarted:
        return event.name + QStringLiteral(" has been restarted.");
    case Kind::RestartFailed:
        return event.name + QStringLiteral(" could not be restarted.");
    case Kind::GaveUp:
        return event.detail;
    case Kind::NotResponding:
        return event.name + QStringLiteral(" is not responding.");
    case Kind::Unhealthy:
        return LogWriter::unhealthySentence(event.name, event.detail);
    case Kind::ConnectionLost:
        return QStringLiteral("The internet connection has been lost.");
    case Kind::WatchedAgain:
        return event.name + QStringLiteral(" is watched again.");
    case Kind::RespondingAgain:
        return event.name + QStringLiteral(" is responding again.");
    case Kind::HealthyAgain:
        return event.name + QStringLiteral(" is healthy again.");
    case Kind::ConnectionBack:
        return QStringLiteral("The internet connection is back.");
    default:
        return {};
    }
}

} // namespace

QString alertKindName(Event::Kind kind) {
    for (const auto &[k, name] : Names) {
        if (k == kind) {
            return QString::fromLatin1(name);
        }
    }
    return {};
}

QSet<Event::Kind> defaultAlertKinds() {
    QSet<Event::Kind> all;
    for (const auto &entry : Names) {
        all.insert(entry.first);
    }
    return all;
}

QSet<Event::Kind> alertKinds(const QString &list, QStringList &unknown) {
    if (list.trimmed().isEmpty()) {
        return defaultAlertKinds();
    }
    QSet<Event::Kind> kinds;
    for (const QString &word : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString name = word.simplified().toLower();
        if (name.isEmpty()) {
            continue;
        }
        // As the popup and the log say it.
        if (name == QLatin1String("not healthy")) {
            name = QStringLiteral("unhealthy");
        }
        bool found = false;
        for (const auto &[kind, known] : Names) {
            if (name == QLatin1String(known)) {
                kinds.insert(kind);
                found = true;
            }
        }
        if (!found) {
            unknown.push_back(word.trimmed());
        }
    }
    return kinds;
}

Alert alertOf(const Event &event, const QString &host) {
    Alert alert;
    alert.kind = alertKindName(event.kind);
    alert.slot = event.slot;
    alert.name = event.name;
    alert.time = event.time;
    alert.host = host;
    alert.pid = event.pid;
    alert.sentence = sentenceOf(event);
    const bool restart = event.kind == Kind::Restarted || event.kind == Kind::RestartFailed;
    // A restart's detail is how the program ended; the others' their reason.
    alert.exitCause = restart ? event.detail : QString();
    alert.detail = restart || event.kind == Kind::GaveUp ? QString() : event.detail;
    alert.output = event.output;
    alert.urgent = event.kind == Kind::GaveUp || event.kind == Kind::RestartFailed ||
                   event.kind == Kind::Unhealthy;
    return alert;
}

} // namespace engine
