#pragma once
// Is a program running? Two probes over the process list, with the two match
// rules the watch cycle relies on, a memory of the process found last that
// answers the same without the walk, and the list of running executables.

#include "core/unique_fd.h"

#include <span>
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

/// The two match rules: findByName's and isRunning's.
enum class Rule { ExecutableName, PathContains };

/// A process told apart from any other that has or had the same PID.
struct ProcessIdentity {
    int pid = 0;
    unsigned long long startTime = 0; ///< clock ticks after boot
    /// Which remember() took it: a PID reused within one clock tick of the
    /// start before has the same start time.
    unsigned long long remembered = 0;
    bool operator==(const ProcessIdentity &) const = default;
};

/// What a signal sent to a remembered process asks of it.
enum class Signal {
    Terminate, ///< SIGTERM: end, tidying up
    Continue,  ///< SIGCONT: run again after a stop
    Kill,      ///< SIGKILL: end at once
};

/// The process a slot's check found or its start reported, remembered by PID,
/// start time and a descriptor that turns readable when it ends. A check asks
/// it first: still live, the same process and still matching the rule means
/// running without walking the list; anything else walks, and the walk's find
/// is remembered. A process found or started for a program stays that
/// program's while it lives, though it execs into another binary (a launcher
/// script ending in exec); for any other program it counts only while it
/// matches. Otherwise the answer is the walk's.
class RememberedProcess {
public:
    RememberedProcess() = default;
    ~RememberedProcess() = default;
    RememberedProcess(const RememberedProcess &) = delete;
    RememberedProcess &operator=(const RememberedProcess &) = delete;
    RememberedProcess(RememberedProcess &&other) noexcept;
    RememberedProcess &operator=(RememberedProcess &&other) noexcept;

    /// findByName (ExecutableName, which throws ListUnavailable like it) or
    /// isRunning (PathContains) for `program` in `workingDirectory`, where a
    /// walk takes only a process of this account (root: of root) and, with
    /// `arguments`, only one started with exactly those after the program or
    /// its script. The remembered process stays the answer while it lives,
    /// whatever its account, as long as it was found or started for the same.
    bool running(Rule rule, std::string_view program, const std::string &workingDirectory,
                 std::span<const std::string> arguments = {});

    /// Remembers `pid`, a program just started for `program` (as running()
    /// takes it), in place of what was remembered; nothing when it has ended
    /// already.
    void remember(int pid, Rule rule, std::string_view program, const std::string &workingDirectory,
                  std::span<const std::string> arguments = {});
    /// The same for a process started for no program in particular: it counts
    /// only while it matches.
    void remember(int pid);
    void forget();

    /// The remembered PID; 0 for none.
    int pid() const { return pid_; }
    /// The remembered process; a PID of 0 for none.
    ProcessIdentity identity() const { return {pid_, startTime_, remembered_}; }
    /// A new descriptor that turns readable the moment the remembered process
    /// ends; empty when none is remembered or the kernel gives none (before
    /// Linux 5.3, or refused by a seccomp filter).
    core::UniqueFd duplicateEndDescriptor() const;
    /// A second memory of the same process, with descriptors of its own, that
    /// stays with that process whatever this one remembers next; empty when
    /// nothing is remembered or the descriptors cannot be had.
    RememberedProcess duplicate() const;
    /// Sends `signal` to the remembered process, never to another that took
    /// its PID: through its end descriptor, else only while /proc still shows
    /// the same process under that PID. False when it reached nothing.
    bool sendSignal(Signal signal) const;
    /// The remembered process's /proc/PID directory, owned by this memory; -1
    /// for none. Reads through it fail once that process has gone, never
    /// reaching another that took its PID.
    int directoryDescriptor() const { return dirFd_.get(); }
    /// Whether the last running() answered from memory, without the walk.
    bool answeredFromMemory() const { return fromMemory_; }

private:
    bool ownedBy(Rule rule, std::string_view program, const std::string &workingDirectory,
                 std::span<const std::string> arguments) const;
    void own(Rule rule, std::string_view program, const std::string &workingDirectory,
             std::span<const std::string> arguments);

    int pid_ = 0;
    unsigned long long startTime_ = 0;
    unsigned long long remembered_ = 0;
    core::UniqueFd dirFd_;  ///< /proc/PID
    core::UniqueFd statFd_; ///< /proc/PID/stat
    core::UniqueFd endFd_;  ///< the pidfd
    bool fromMemory_ = false;
    /// The program the process was found or started for, if any.
    bool owned_ = false;
    Rule ownerRule_ = Rule::ExecutableName;
    std::string ownerProgram_;
    std::string ownerFolder_;
    std::vector<std::string> ownerArguments_;
};

/// Executable file name of every process, in the order of the process list,
/// duplicates kept; kernel threads by their process name.
std::vector<std::string> runningExecutableNames();

} // namespace processes
