#pragma once
// Perstando stays the parent of what it starts: a child subreaper, so a
// program started through an intermediate child, and whatever that program
// leaves behind, comes back to Perstando and is reaped here, never by
// waiting for any child (QProcess reaps its own children).

#include "core/unique_fd.h"

#include <optional>
#include <string>
#include <vector>

namespace reaper {

/// Makes this process (or, with false, no longer) the reaper of its orphaned
/// descendants. False when the kernel refused.
bool setChildSubreaper(bool on = true) noexcept;

/// How a process ended.
struct ExitCause {
    bool signalled = false; ///< killed by a signal, else exited
    int number = 0;         ///< exit status or signal number
    bool coreDumped = false;
    /// "exited with status 3", "killed by signal 9 (SIGKILL)",
    /// "killed by signal 11 (SIGSEGV), core dumped".
    std::string text() const;
};

/// The cause told of a program that Perstando did not start.
std::string unknownCause();

/// Reaps the process behind `pidfd` when it has ended: its cause; nullopt when
/// it still runs, is not this process's child, or was reaped already.
std::optional<ExitCause> reap(int pidfd) noexcept;

/// A descriptor for the end of `pid`, a child of this process (so no other
/// process of that PID can be meant); empty when the kernel has none.
core::UniqueFd endDescriptor(int pid) noexcept;

/// Waits up to `timeoutMs` for the process behind `pidfd` to end; whether it did.
bool awaitEnd(int pidfd, int timeoutMs) noexcept;

/// Reaps orphans that came back to Perstando: each of its children that is a
/// zombie now and was already one, the same process, at the previous sweep.
/// A QProcess child is reaped by Qt the moment its end reaches the event loop,
/// so one seen ended twice, an event loop turn apart, is nobody's but ours.
/// `keep`: PIDs whose cause someone reaps through their pidfd.
class OrphanSweep {
public:
    /// Returns how many were reaped.
    int sweep(const std::vector<int> &keep = {});

private:
    struct Seen {
        int pid;
        unsigned long long startTime;
        bool operator==(const Seen &) const = default;
    };
    std::vector<Seen> zombies_;
};

/// PIDs of this process's children (every thread's) now.
std::vector<int> children();

} // namespace reaper
