#pragma once
// A short command run with all it starts kept in hand: a keeper process
// between Perstando and the command stays the subreaper of everything the
// command starts, so that nothing of it outlives the run, not even a process
// that left for a session of its own.

#include "core/unique_fd.h"

#include <cstddef>
#include <string>
#include <vector>

namespace launcher {

struct KeptCommand {
    int pid = 0;           ///< the keeper; 0 when none was started
    core::UniqueFd ended;  ///< the keeper's end descriptor: readable once it has ended
    core::UniqueFd output; ///< the command's stdout and stderr, one pipe, non-blocking
    std::string error;     ///< why the command did not start ("No such file or directory")
};

/// Starts the keeper, which leads a session and group of its own and starts
/// `path` (as exec takes it) with `arguments` (the first is the command's
/// name) in `directory` (empty: Perstando's), stdin on /dev/null. When the
/// command ends, the keeper kills and reaps every process left below it, then
/// ends as the command ended (the same exit status or signal; reaper::reap
/// on `ended` tells it). Perstando's end ends the keeper as endKept() does.
/// A command that could not start leaves `error` set and the keeper ending
/// with status 127; a keeper whose end cannot be watched (no pidfd) is
/// killed at once, with `error` set and `pid` 0. Returns once the command's
/// exec has succeeded or failed.
KeptCommand startKept(const std::string &path, const std::vector<std::string> &arguments,
                      const std::string &directory);

/// Asks the keeper to kill the command and all it started at once, then end.
void endKept(const KeptCommand &command) noexcept;

/// SIGKILL to the keeper and its group, for a keeper that would not end: what
/// left that group may then outlive it.
void killKept(const KeptCommand &command) noexcept;

/// Reads what `output` holds now into `buf`: the bytes read, 0 at its end,
/// -1 when nothing waits (or on an error).
long readOutput(const KeptCommand &command, char *buf, std::size_t size) noexcept;

} // namespace launcher
