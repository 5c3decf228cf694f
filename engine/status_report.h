#pragma once
// What `perstando --status` prints: each named slot's state, the pause, the
// alarms and the connection, as lines for a person or as JSON for a script.
// Both are read from the slots' state records.

#include <QByteArray>
#include <QString>

namespace engine {

class SlotWatcher;
class Watchdog;

/// A named slot's state as `--status` names it ("running", "not checked", ...).
QString slotStateName(const SlotWatcher &watcher, int slot);

/// The lines of `--status`, each ending in a newline.
QString statusText(const Watchdog &watchdog);
/// The same as one JSON object (the field names are in the README).
QByteArray statusJson(const Watchdog &watchdog);

} // namespace engine
