#pragma once
// Which events the alert channels send, by the names users write in the
// settings ("restarted, gave up"), and each event told as a channel tells it.

#include "engine/event_stream.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace engine {

struct Alert;

/// The channels' name of `kind` ("restarted", "restart failed", "gave up",
/// "not responding", "unhealthy", "connection lost", "watched again",
/// "responding again", "healthy again", "connection back"); empty for a kind no
/// channel sends.
QString alertKindName(Event::Kind kind);

/// The kinds a channel sends when its list is empty: the failures and their recoveries.
QSet<Event::Kind> defaultAlertKinds();

/// The kinds `list` names, separated by commas (case and blanks around a
/// name do not matter); empty: defaultAlertKinds(). Names that are no kind
/// are put into `unknown`.
QSet<Event::Kind> alertKinds(const QString &list, QStringList &unknown);

/// `event` as the channels tell it, from `host`.
Alert alertOf(const Event &event, const QString &host);

} // namespace engine
