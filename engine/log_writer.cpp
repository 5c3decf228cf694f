#include "engine/log_writer.h"

#include "core/log_file.h"
#include "engine/event_stream.h"
#include "engine/locale_text.h"

#include <string>
#include <vector>

namespace engine {

bool LogWriter::append(const QStringList &lines) const {
    std::vector<std::string> entry;
    entry.reserve(static_cast<std::size_t>(lines.size()));
    for (const auto &line : lines) {
        entry.push_back(line.toStdString());
    }
    return core::appendLogLines(path_.toStdString(), entry);
}

bool LogWriter::write(const Event &event) const {
    switch (event.kind) {
    case Event::Kind::Restarted:
    case Event::Kind::RestartFailed:
        return restart(event.slot, event.name, event.kind == Event::Kind::RestartFailed);
    case Event::Kind::StartRefused:
        return slotEvent(event.slot, event.name + QStringLiteral(" was not started: ") +
                                         event.detail + QLatin1Char('.'));
    case Event::Kind::OutputNotKept:
        return slotEvent(event.slot, QStringLiteral("The output of ") + event.name +
                                         QStringLiteral(" is not kept: ") + event.detail +
                                         QLatin1Char('.'));
    case Event::Kind::CommandLineRun:
        return LogWriter::event(QStringLiteral("Command Line Action has been initiated!"));
    case Event::Kind::CommandLineFailed:
        return LogWriter::event(QStringLiteral("Command Line Action could not be initiated!"));
    case Event::Kind::GaveUp:
        return giveUp(event.slot, event.detail);
    case Event::Kind::WatchedAgain:
        return watchedAgain(event.slot, event.name);
    case Event::Kind::NotResponding:
        return notResponding(event.slot, event.name);
    case Event::Kind::Unhealthy:
        return slotEvent(event.slot, unhealthySentence(event.name, event.detail));
    case Event::Kind::HealthyAgain:
        return slotEvent(event.slot, event.name + QStringLiteral(" is healthy again."));
    case Event::Kind::Closed:
        return slotEvent(event.slot,
                         event.name + QStringLiteral(" was closed and is not restarted."));
    case Event::Kind::ConnectionLost:
        return LogWriter::event(QStringLiteral(" Internet Connection has been Lost!"));
    case Event::Kind::RespondingAgain:
    case Event::Kind::ConnectionBack:
    case Event::Kind::ErrorWindowDismissed:
        break;
    }
    return true;
}

bool LogWriter::note(const QString &text) const {
    return append({timestampNow() + QStringLiteral(", ") + text});
}

bool LogWriter::event(const QString &text, Row row) const {
    return append(eventLines(text, row));
}

QStringList LogWriter::eventLines(const QString &text, Row row) {
    return {LogWriter::row(row), timestampNow() + text, LogWriter::row(row)};
}

bool LogWriter::restart(int slot, const QString &name, bool failed) const {
    const QString outcome = failed ? QStringLiteral(" could not be restarted.")
                                   : QStringLiteral(" has been restarted.");
    return slotEvent(slot, name + outcome);
}

bool LogWriter::giveUp(int slot, const QString &sentence) const {
    return slotEvent(slot, sentence);
}

bool LogWriter::watchedAgain(int slot, const QString &name) const {
    return slotEvent(slot, name + QStringLiteral(" is watched again."));
}

QString LogWriter::giveUpSentence(const QString &name, int restarts, int minutes,
                                  bool noneStarted) {
    // One pass: a name holding "%2" stays as it is.
    const auto counted = [](int count, const QString &one, const QString &many) {
        return QString::number(count) + QLatin1Char(' ') + (count == 1 ? one : many);
    };
    return QStringLiteral("%1 %2 %3 in %4 and is no longer restarted.")
        .arg(name, noneStarted ? QStringLiteral("could not be started") : QStringLiteral("ended"),
             counted(restarts, QStringLiteral("time"), QStringLiteral("times")),
             counted(minutes, QStringLiteral("minute"), QStringLiteral("minutes")));
}

bool LogWriter::notResponding(int slot, const QString &name) const {
    return slotEvent(slot, name + QStringLiteral(" is not responding."));
}

QString LogWriter::unhealthySentence(const QString &name, const QString &reason) {
    return name + QStringLiteral(" is not healthy: ") + reason + QLatin1Char('.');
}

bool LogWriter::slotEvent(int slot, const QString &text) const {
    return event(QLatin1Char(',') + text, slot == 1 ? Row::Long : Row::Short);
}

QString LogWriter::row(Row row) {
    return QString(row == Row::Long ? 54 : 53, QLatin1Char('*'));
}

} // namespace engine
