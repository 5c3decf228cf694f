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
/// instead. Every process counts: the name comes from /proc/PID/exe, or from
/// argv[0] when the link cannot be read. Throws ProcessListUnavailable.
bool FindProcess(std::string_view name);

} // namespace WMI_FindProcess

namespace Module4 {

/// True when the full executable path of a live process whose exe link can be
/// read contains `name`, ignoring case. Never throws.
bool IsAppRunning(std::string_view name) noexcept;

/// The platform family: 2, as the process list gives full executable paths.
int GetPlatformId() noexcept;

} // namespace Module4

namespace core {

/// Executable file name of every process, in the order of the process list,
/// duplicates kept; kernel threads by their process name.
std::vector<std::string> runningExecutableNames();

} // namespace core
