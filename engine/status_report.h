#pragma once
// What `perstando --status` prints: each named slot's state, the pause, the
// alarms and the connection, as lines for a person or as JSON for a script.
// Both are read from the slots' state records.

#include <QByteArray>
#include <QString>

namespace engine {

class Watchdog;

/// The lines of `--status`, each ending in a newline.
QString statusText(const Watchdog &watchdog);
/// The same as one JSON object (the field names are in the README).
QByteArray statusJson(const Watchdog &watchdog);

} // namespace engine
