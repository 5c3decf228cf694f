// The usage of a process tree over /proc. The root is read through the
// remembered process's own /proc/PID directory; a descendant through a
// directory opened by its PID, and counted only when its stat line names the
// parent it was listed under, so a PID that passed to a stranger in between is
// never counted. A lone single-threaded process costs three small reads.

#include "core/process_usage.h"

#include "core/process_probe.h"
#include "core/read_fully.h"
#include "core/unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace {

int procDirectory() {
    static const int fd = [] {
        const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct statfs fs {};
        if (dir >= 0 && (::fstatfs(dir, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)) {
            ::close(dir);
            return -1;
        }
        return dir;
    }();
    return fd;
}

std::uint64_t pageSize() {
    static const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : 4096;
}

ssize_t readAt(int dirFd, const char *leaf, char *buf, std::size_t size) {
    const core::UniqueFd fd(::openat(dirFd, leaf, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return -1;
    }
    return static_cast<ssize_t>(core::readFully(fd.get(), buf, size));
}

struct StatLine {
    char state = 0;
    int parent = 0;
    /// utime + stime + cutime + cstime: children the process has waited for
    /// keep counting, so the tree's sum does not drop when one ends.
    std::uint64_t ticks = 0;
    long threads = 0;
    unsigned long long startTime = 0; ///< clock ticks after boot
};

bool isLive(char state) {
    return state != 'Z' && state != 'X' && state != 'x';
}

/// Fields 3 to 22 of a stat line. They follow the name, which sits between the
/// first '(' and the last ')' and may itself hold blanks and parentheses.
std::optional<StatLine> parseStat(std::string_view text) {
    const auto close = text.rfind(')');
    if (close == std::string_view::npos || close + 2 >= text.size()) {
        return std::nullopt;
    }
    StatLine line;
    std::size_t at = close + 2;
    int field = 3;
    for (; field <= 22 && at < text.size(); ++field) {
        std::size_t end = text.find(' ', at);
        end = end == std::string_view::npos ? text.size() : end;
        const char *first = text.data() + at;
        const char *last = text.data() + end;
        if (field == 3) {
            line.state = *first;
        } else if (field == 4) {
            std::from_chars(first, last, line.parent);
        } else if (field >= 14 && field <= 17) {
            std::uint64_t ticks = 0; // cutime and cstime are signed; never negative in practice
            std::from_chars(first, last, ticks);
            line.ticks += ticks;
        } else if (field == 20) {
            std::from_chars(first, last, line.threads);
        } else if (field == 22) {
            std::from_chars(first, last, line.startTime);
        }
        at = end + 1;
    }
    if (field <= 22) {
        return std::nullopt;
    }
    return line;
}

std::optional<StatLine> readStat(int dirFd) {
    char buf[1024];
    const ssize_t n = readAt(dirFd, "stat", buf, sizeof buf);
    if (n <= 0) {
        return std::nullopt;
    }
    return parseStat({buf, static_cast<std::size_t>(n)});
}

/// Resident pages (statm's second field) in bytes; 0 when unreadable.
std::uint64_t readResident(int dirFd) {
    char buf[128];
    const ssize_t n = readAt(dirFd, "statm", buf, sizeof buf);
    if (n <= 0) {
        return 0;
    }
    const std::string_view text(buf, static_cast<std::size_t>(n));
    const auto blank = text.find(' ');
    std::uint64_t pages = 0;
    if (blank != std::string_view::npos) {
        std::from_chars(text.data() + blank + 1, text.data() + text.size(), pages);
    }
    return pages * pageSize();
}

/// Appends the PIDs a children file lists, blank-separated, read in pieces.
void readChildList(int fd, std::vector<int> &out) {
    char buf[1024];
    long value = -1;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c >= '0' && c <= '9') {
                value = value < 0 ? 0 : value;
                value = value > INT_MAX ? value : value * 10 + (c - '0');
            } else if (value >= 0) {
                if (value > 0 && value <= INT_MAX) {
                    out.push_back(static_cast<int>(value));
                }
                value = -1;
            }
        }
    }
    if (value > 0 && value <= INT_MAX) {
        out.push_back(static_cast<int>(value));
    }
}

/// The children of every thread of the process open at `dirFd`. A process
/// with one thread has it under its own PID, which spares listing the tasks.
void appendChildren(int dirFd, int pid, long threads, std::vector<int> &out) {
    if (threads <= 1) {
        char path[40];
        std::snprintf(path, sizeof path, "task/%d/children", pid);
        const core::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC));
        if (fd) {
            readChildList(fd.get(), out);
            return;
        }
    }
    core::UniqueFd taskFd(::openat(dirFd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR *tasks = taskFd ? ::fdopendir(taskFd.get()) : nullptr;
    if (!tasks) {
        return;
    }
    taskFd.release();
    while (const dirent *entry = ::readdir(tasks)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue;
        }
        char path[300];
        std::snprintf(path, sizeof path, "%s/children", entry->d_name);
        const core::UniqueFd fd(::openat(::dirfd(tasks), path, O_RDONLY | O_CLOEXEC));
        if (fd) {
            readChildList(fd.get(), out);
        }
    }
    ::closedir(tasks);
}

core::UniqueFd openProcess(int pid) {
    char name[16];
    const auto end = std::to_chars(name, name + sizeof name - 1, pid).ptr;
    *end = '\0';
    return core::UniqueFd(::openat(procDirectory(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

/// One walk over a program's tree, from its process and from the orphans it
/// left to this process: each PID once, at most MaxTreeProcesses in all.
class TreeWalk {
public:
    /// Calls `visit(pid, dirFd, stat)` for each descendant of the process
    /// open at `rootDir`, zombies included.
    template <typename Visit>
    void descendants(int rootDir, int rootPid, const StatLine &root, const Visit &visit) {
        seen_.insert(rootPid);
        std::vector<int> listed;
        appendChildren(rootDir, rootPid, root.threads, listed);
        std::vector<std::pair<int, int>> pending; // child, the parent it was listed under
        pending.reserve(listed.size());
        for (const int child : listed) {
            pending.emplace_back(child, rootPid);
        }
        while (!pending.empty()) {
            if (seen_.size() >= processes::MaxTreeProcesses) {
                cut_ = true;
                return;
            }
            const auto [pid, parent] = pending.back();
            pending.pop_back();
            if (!seen_.insert(pid).second) {
                continue;
            }
            const core::UniqueFd dir = openProcess(pid);
            const auto stat = dir ? readStat(dir.get()) : std::nullopt;
            if (!stat || stat->parent != parent) {
                continue; // ended, or its PID went to a process outside the tree
            }
            visit(pid, dir.get(), *stat);
            if (!isLive(stat->state)) {
                continue;
            }
            if (pending.size() >= processes::MaxTreeProcesses) {
                cut_ = true;
                continue;
            }
            listed.clear();
            appendChildren(dir.get(), pid, stat->threads, listed);
            for (const int child : listed) {
                pending.emplace_back(child, pid);
            }
        }
    }

    /// The same for each orphan not yet seen, the orphan itself included.
    template <typename Visit> void orphans(std::span<const int> pids, const Visit &visit) {
        for (const int pid : pids) {
            if (seen_.contains(pid)) {
                continue;
            }
            if (seen_.size() >= processes::MaxTreeProcesses) {
                cut_ = true;
                return;
            }
            const core::UniqueFd dir = openProcess(pid);
            const auto stat = dir ? readStat(dir.get()) : std::nullopt;
            // An orphan is this process's child: its PID is no stranger's
            // until it is reaped here.
            if (!stat || !isLive(stat->state) || stat->parent != ::getpid()) {
                continue;
            }
            visit(pid, dir.get(), *stat);
            descendants(dir.get(), pid, *stat, visit);
        }
    }

    bool cut() const { return cut_; }

private:
    std::unordered_set<int> seen_;
    bool cut_ = false;
};

/// Whether the environment open at `fd` holds `entry` ("NAME=value") as one
/// of its entries; read in pieces, so its size does not matter.
bool environmentHolds(int fd, std::string_view entry) {
    char buf[4096];
    std::size_t matched = 0; // bytes of `entry` matched by the entry read so far
    bool failed = false;     // the entry read so far is not `entry`
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return !failed && matched == entry.size();
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\0') {
                if (!failed && matched == entry.size()) {
                    return true;
                }
                matched = 0;
                failed = false;
            } else if (!failed && matched < entry.size() && entry[matched] == c) {
                ++matched;
            } else {
                failed = true;
            }
        }
    }
}

} // namespace

namespace processes {

std::optional<Usage> treeUsage(const RememberedProcess &process, std::span<const int> orphans) {
    const int dir = process.directoryDescriptor();
    if (process.pid() == 0 || dir < 0 || procDirectory() < 0) {
        return std::nullopt;
    }
    const auto stat = readStat(dir);
    if (!stat || !isLive(stat->state)) {
        return std::nullopt;
    }
    Usage usage{readResident(dir), stat->ticks, 1};
    const auto add = [&](int, int childDir, const StatLine &line) {
        usage.cpuTicks += line.ticks;
        if (isLive(line.state)) {
            usage.residentBytes += readResident(childDir);
            ++usage.processes;
        }
    };
    TreeWalk walk;
    walk.descendants(dir, process.pid(), *stat, add);
    walk.orphans(orphans, add);
    usage.cut = walk.cut();
    return usage;
}

std::vector<TreeMember> treeMembers(int pid, std::span<const int> orphans) {
    std::vector<TreeMember> found;
    if (procDirectory() < 0) {
        return found;
    }
    const auto add = [&](int member, int, const StatLine &line) {
        if (isLive(line.state)) {
            found.push_back({member, line.startTime});
        }
    };
    TreeWalk walk;
    if (pid > 0) {
        const core::UniqueFd dir = openProcess(pid);
        const auto stat = dir ? readStat(dir.get()) : std::nullopt;
        if (stat && isLive(stat->state)) {
            walk.descendants(dir.get(), pid, *stat, add);
        }
    }
    walk.orphans(orphans, add);
    return found;
}

std::vector<int> descendants(int pid) {
    std::vector<int> pids;
    for (const TreeMember &member : treeMembers(pid, {})) {
        pids.push_back(member.pid);
    }
    return pids;
}

int signalMembers(std::span<const TreeMember> members, Signal signal) {
    const int number = signal == Signal::Terminate  ? SIGTERM
                       : signal == Signal::Continue ? SIGCONT
                                                    : SIGKILL;
    int reached = 0;
    for (const TreeMember &member : members) {
        // Checked right before the signal: a PID that passed to another
        // process has another start time.
        const core::UniqueFd dir = openProcess(member.pid);
        const auto stat = dir ? readStat(dir.get()) : std::nullopt;
        if (stat && isLive(stat->state) && stat->startTime == member.startTime &&
            ::kill(member.pid, number) == 0) {
            ++reached;
        }
    }
    return reached;
}

std::vector<int> childrenMarked(std::string_view entry) {
    std::vector<int> marked;
    const core::UniqueFd self = openProcess(::getpid());
    const auto stat = self ? readStat(self.get()) : std::nullopt;
    if (!stat || entry.empty()) {
        return marked;
    }
    std::vector<int> children;
    appendChildren(self.get(), ::getpid(), stat->threads, children);
    for (const int child : children) {
        const core::UniqueFd dir = openProcess(child);
        const core::UniqueFd environment(dir ? ::openat(dir.get(), "environ", O_RDONLY | O_CLOEXEC)
                                             : -1);
        if (environment && environmentHolds(environment.get(), entry)) {
            marked.push_back(child);
        }
    }
    return marked;
}
long clockTicksPerSecond() {
    static const long ticks = [] {
        const long value = ::sysconf(_SC_CLK_TCK);
        return value > 0 ? value : 100;
    }();
    return ticks;
}

std::optional<long long> bootTime() {
    static const std::optional<long long> boot = []() -> std::optional<long long> {
        // Line by line: the interrupt counts before it can run to kilobytes.
        std::ifstream stat("/proc/stat");
        for (std::string line; std::getline(stat, line);) {
            constexpr std::string_view key = "btime ";
            if (line.starts_with(key)) {
                long long seconds = 0;
                const char *first = line.data() + key.size();
                const auto [end, error] =
                    std::from_chars(first, line.data() + line.size(), seconds);
                if (error == std::errc() && end != first && seconds > 0) {
                    return seconds;
                }
                return std::nullopt;
            }
        }
        return std::nullopt;
    }();
    return boot;
}

} // namespace processes
