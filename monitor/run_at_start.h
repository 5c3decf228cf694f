#pragma once
// The "Startup Options" commands that add the program to the desktop's
// autostart and take it out again.

class QWidget;

namespace engine {
class LogWriter;
}

/// Writes the autostart entry for the program, then confirms and logs; a
/// failure is told and logged as one, with its reason.
void enableRunAtStart(QWidget &owner, const engine::LogWriter &log);

/// Removes the autostart entry (none there is fine), then confirms and logs.
void disableRunAtStart(QWidget &owner, const engine::LogWriter &log);
