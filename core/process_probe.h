#pragma once
// Is a program running? Two probes over the process list, with the two match
// rules the watch cycle relies on, and the list of running executables.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace WMI_FindProcess {

/// The process list could not be read at all (the management service is unreachable).
class ProcessListUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// True when a live process's executable file name equals `name`, ignoring
/// case. A `name` holding a '/' is compared with the full executable path
/// instead. The same comparison is made with the program as the launcher finds
/// it from `workingDirectory` (core::resolveProgram), so a name reached through
/// links or ".." counts too. Every process counts: the name comes from
/// /proc/PID/exe, or from argv[0] when the link cannot be read. Throws
/// ProcessListUnavailable.
bool FindProcess(std::string_view name, const std::string &workingDirectory = {});

} // namespace WMI_FindProcess

namespace Module4 {

/// True when the full executable path of a live process whose exe link can be
/// read contains `name`, or is the program as the launcher finds it from
/// `workingDirectory` (core::resolveProgram), ignoring case. Never throws.
bool IsAppRunning(std::string_view name, const std::string &workingDirectory = {}) noexcept;

/// The platform family: 2, as the process list gives full executable paths.
int GetPlatformId() noexcept;

} // namespace Module4

namespace core {

/// A program as the launcher finds it (core::locateProgram): `started` is the
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

} // namespace core
