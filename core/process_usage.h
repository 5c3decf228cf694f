#pragma once
// What a watched program costs: resident memory and CPU time of its process
// and every descendant, read from /proc through the remembered process, so a
// reading stays in microseconds and never mistakes another process that took
// a PID for the program.

#include "core/process_probe.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace processes {

struct Usage {
    std::uint64_t residentBytes = 0; ///< resident set, summed over the tree
    /// User and system time, summed, in clock ticks; with that of the
    /// children a process of the tree has waited for, so the sum does not drop
    /// when a short-lived child ends. It may still drop when a descendant
    /// leaves the tree (ended unwaited, or orphaned): a caller taking
    /// differences treats a drop as none.
    std::uint64_t cpuTicks = 0;
    int processes = 0; ///< how many processes were counted
    /// The walk stopped at MaxTreeProcesses: the tree holds more, and uses
    /// at least this much.
    bool cut = false;
};

/// A fork bomb must not make one reading unbounded: a walk over a tree
/// counts at most this many processes.
inline constexpr std::size_t MaxTreeProcesses = 4096;

/// The process `process` remembers and its descendants (children read from
/// /proc/PID/task/TID/children), and each of `orphans` with its descendants:
/// children of this process that the program's tree left behind (see
/// childrenMarked). nullopt when none is remembered or it has ended; a
/// descendant that ends during the reading is left out.
std::optional<Usage> treeUsage(const RememberedProcess &process, std::span<const int> orphans = {});

/// A process of a tree, told apart from one that takes its PID later.
struct TreeMember {
    int pid = 0;
    unsigned long long startTime = 0; ///< clock ticks after boot
};

/// The live descendants of `pid`, and each live one of `orphans` with its
/// descendants, each once, at most MaxTreeProcesses. A descendant counts only
/// while its parent is the one that listed it, so a PID that passed to a
/// stranger is left out.
std::vector<TreeMember> treeMembers(int pid, std::span<const int> orphans);

/// The live descendants of `pid` alone.
std::vector<int> descendants(int pid);

/// Sends `signal` to each member that is still the same process; how many it reached.
int signalMembers(std::span<const TreeMember> members, Signal signal);

/// This process's children whose environment holds `entry` ("NAME=value")
/// as started: what the programs it started left behind when their parents
/// ended, since this process reaps their orphans.
std::vector<int> childrenMarked(std::string_view entry);

/// Clock ticks per second (sysconf(_SC_CLK_TCK)).
long clockTicksPerSecond();

/// When the machine booted, in Unix seconds (the `btime` of /proc/stat): the
/// origin of a process's start time. Read once; nullopt when it cannot be.
std::optional<long long> bootTime();

} // namespace processes
