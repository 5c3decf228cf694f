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
    std::uint64_t cpuTicks = 0;      ///< user and system time, summed, in clock ticks
    int processes = 0;               ///< how many processes were counted
};

/// The process `process` remembers and its descendants (children read from
/// /proc/PID/task/TID/children). nullopt when none is remembered or it has
/// ended; a descendant that ends during the reading is left out.
std::optional<Usage> treeUsage(const RememberedProcess &process);

/// The descendants of `pid`: children, their children and so on, each once.
std::vector<int> descendants(int pid);

/// Clock ticks per second (sysconf(_SC_CLK_TCK)).
long clockTicksPerSecond();

} // namespace processes
