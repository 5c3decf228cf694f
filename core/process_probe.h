#pragma once
// Is a program running? Two probes over the process list, with the two match
// rules the watch cycle relies on, and the list of running executables.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace processes {

/// The process list could not be read at all.
class ListUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// True when a live process's executable file name equals `name`, ignoring
/// case. A `name` holding a '/' is compared with the full executable path
/// instead. The same comparison is made with the program as the launcher finds
/// it from `workingDirectory` (resolveProgram), so a name reached through
/// links or ".." counts too. Every process counts: the name comes from
/// /proc/PID/exe, or from argv[0] when the link cannot be read. Throws
/// ListUnavailable.
bool findByName(std::string_view name, const std::string &workingDirectory = {});

/// True when the full executable path of a live process whose exe link can be
/// read contains `name`, or is the program as the launcher finds it from
/// `workingDirectory` (resolveProgram), ignoring case. Never throws.
bool isRunning(std::string_view name, const std::string &workingDirectory = {}) noexcept;

/// A program as the launcher finds it (launcher::locate): `started` is the
/// path exec gets, made absolute and lexically normal (a script's interpreter
/// shows it); `real` has every link and ".." resolved (what /proc/PID/exe
/// shows). Both empty when `program` is empty or names no regular file.
struct ProgramPaths {
    std::string started;
    std::string real;
};
ProgramPaths resolveProgram(std::string_view program, const std::string &workingDirectory);

/// Executable file name of every process, in the order of the process list,
/// duplicates kept; kernel threads by their process name.
std::vector<std::string> runningExecutableNames();

} // namespace processes
