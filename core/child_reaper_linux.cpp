#include "core/child_reaper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace reaper {

bool setChildSubreaper(bool on) noexcept {
    return ::prctl(PR_SET_CHILD_SUBREAPER, on ? 1UL : 0UL, 0UL, 0UL, 0UL) == 0;
}

std::string ExitCause::text() const {
    if (!signalled) {
        return "exited with status " + std::to_string(number);
    }
    std::string out = "killed by signal " + std::to_string(number);
    if (const char *name = ::sigabbrev_np(number)) {
        out += " (SIG" + std::string(name) + ")";
    }
    if (coreDumped) {
        out += ", core dumped";
    }
    return out;
}

std::string unknownCause() {
    return "ended; cause unknown (not started by Perstando)";
}

std::optional<ExitCause> reap(int pidfd) noexcept {
    if (pidfd < 0) {
        return std::nullopt;
    }
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                          WEXITED | WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result < 0 || info.si_pid == 0) {
        return std::nullopt;
    }
    ExitCause cause;
    cause.number = info.si_status;
    cause.signalled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
    cause.coreDumped = info.si_code == CLD_DUMPED;
    return cause;
}

core::UniqueFd endDescriptor(int pid) noexcept {
#ifdef SYS_pidfd_open
    if (pid > 0) {
        return core::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    }
#endif
    return core::UniqueFd();
}

bool awaitEnd(int pidfd, int timeoutMs) noexcept {
    pollfd end{pidfd, POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&end, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

namespace {

/// State and start time of child `pid` from /proc/self/task/../PID/stat;
/// nullopt when it is gone.
std::optional<std::pair<char, unsigned long long>> stateOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    // The name may hold blanks and parentheses: the fields follow the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(close + 1));
    char state = 0;
    fields >> state;
    std::string skipped;
    for (int field = 4; field < 22 && fields >> skipped; ++field) {
    }
    unsigned long long start = 0;
    fields >> start;
    return std::make_pair(state, start);
}

} // namespace

std::vector<int> children() {
    std::vector<int> pids;
    DIR *tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) {
        return pids;
    }
    while (const dirent *entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/children");
        int pid = 0;
        while (in >> pid) {
            pids.push_back(pid);
        }
    }
    ::closedir(tasks);
    std::sort(pids.begin(), pids.end());
    pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
    return pids;
}

int OrphanSweep::sweep(const std::vector<int> &keep) {
    // Without an ended child to collect, one system call says so: the list
    // of children and their states is read only when there is one.
    siginfo_t waiting{};
    if (::waitid(P_ALL, 0, &waiting, WEXITED | WNOHANG | WNOWAIT) != 0 || waiting.si_pid == 0) {
        zombies_.clear();
        return 0;
    }
    std::vector<Seen> now;
    int reaped = 0;
    for (const int pid : children()) {
        if (std::find(keep.begin(), keep.end(), pid) != keep.end()) {
            continue;
        }
        const auto state = stateOf(pid);
        if (!state || state->first != 'Z') {
            continue;
        }
        const Seen seen{pid, state->second};
        if (std::find(zombies_.begin(), zombies_.end(), seen) == zombies_.end()) {
            now.push_back(seen);
            continue;
        }
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) == 0 &&
            info.si_pid == pid) {
            ++reaped;
        }
    }
    zombies_ = std::move(now);
    return reaped;
}

} // namespace reaper
