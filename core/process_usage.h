#pragma once
// What a watched program costs: resident memory and CPU time of its process
// and every descendant, read from /proc through the remembered process, so a
// reading stays in microseconds and never mistakes another process that took
// a PID for the program.

#include <cstdint>
#include <optional>
#include <vector>

namespace processes {

class RememberedProcess;

struct Usage {
    std::uint64_t residentBytes = 0; ///< resident set, summed over the tree
    /// User and system time, summed, in clock ticks; with that of the
    /// children a process of the tree has waited for, so the sum does not drop
    /// when a short-lived child ends. It may still drop when a descendant
    /// leaves the tree (ended unwaited, or orphaned): a caller taking
    /// differences treats a drop as none.
    std::uint64_t cpuTicks = 0;
    int processes = 0; ///< how many processes were counted
};

/// The process `process` remembers and its descendants (children read from
/// /proc/PID/task/TID/children). nullopt when none is remembered or it has
/// ended; a descendant that ends during the reading is left out.
std::optional<Usage> treeUsage(const RememberedProcess &process);

/// The live descendants of `pid`: children, their children and so on, each
/// once, at most a few thousand. A descendant counts only while its parent is
/// the one that listed it, so a PID that passed to a stranger is left out.
std::vector<int> descendants(int pid);

/// Clock ticks per second (sysconf(_SC_CLK_TCK)).
long clockTicksPerSecond();

/// When the machine booted, in Unix seconds (the `btime` of /proc/stat): the
/// origin of a process's start time. Read once; nullopt when it cannot be.
std::optional<long long> bootTime();

} // namespace processes
