#pragma once
// Starting linkmind, the companion program that keeps the connection up.

#include <string>

namespace core {

/// Path of the companion beside the program: `folder` + "/linkmind", with no
/// second "/" when the folder already ends in one.
std::string companionPath(const std::string &folder);

/// Starts the companion from `folder` as a command line (launcher::runCommandLine).
/// A companion that cannot be started is passed over: the keep-up
/// is a convenience and nobody waits for it.
void startCompanion(const std::string &folder);

} // namespace core
