#pragma once
// The answers to the shell commands (`perstando --status`, `--pause`, ...):
// each does what the same control in the window does, through the watchdog,
// so the window shows the change at once.

#include "engine/command_server.h"

namespace engine {

class Watchdog;

/// Answers one request line. "quit" asks the watchdog to end the program
/// after the reply has gone out.
CommandServer::Reply answerShellCommand(Watchdog &watchdog, const QString &request);

} // namespace engine
