#pragma once
// What /proc says about a running process, for tests that watch Perstando's
// resources over time.

#include <string>
#include <sys/types.h>

namespace testing_support {

/// Open descriptors (entries of /proc/PID/fd); -1 when the process is gone.
int openDescriptors(pid_t pid);

/// Children of `pid` that have ended and were not reaped.
int zombieChildren(pid_t pid);

/// Resident memory in KiB (VmRSS); -1 when the process is gone.
long residentKiB(pid_t pid);

/// Size of the main thread's stack in KiB (VmStk); -1 when the process is gone.
long stackKiB(pid_t pid);

/// User plus system CPU time in seconds (utime + stime of /proc/PID/stat);
/// a negative value when the process is gone.
double cpuSeconds(pid_t pid);

/// The one-letter state of /proc/PID/stat ('R', 'S', 'Z', ...); '\0' when gone.
char processState(pid_t pid);

/// An environment variable as a whole number, or `fallback` when unset or no number.
long environmentNumber(const char *name, long fallback);

} // namespace testing_support
