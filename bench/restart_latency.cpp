// Measures a watcher (Perstando, supervisord, monit, pm2) keeping programs up:
//
//   latency PROGRAM KILLS GAP_MIN_MS GAP_MAX_MS OUT -- WATCHER ARGS...
//     SIGKILLs PROGRAM KILLS times, each after a random gap, and writes to OUT
//     the milliseconds from each kill until a new process of PROGRAM is visible
//     in /proc (polled every 0.1 ms), one a line.
//   idle SECONDS OUT PROGRAM... -- WATCHER ARGS...
//     Once every PROGRAM runs, writes to OUT the watcher's CPU time over
//     SECONDS as a percentage of one core (from the scheduler's nanosecond
//     counts, every thread's), its wake-ups (voluntary context switches) a
//     second, its resident memory and proportional set in MB, and beside OUT
//     (OUT.maps) what its resident memory is, mapping by mapping. Only the
//     process started is measured: a watcher must not hand its work to a
//     daemon it detaches (pm2 runs as pm2-runtime for that).
//
// The watcher runs as our child and we are the subreaper, so the programs it
// starts detached end up as our children: they are reaped here instead of
// lingering as zombies in the process walks being measured, and every one of
// them is killed when we are done, even when the measurement fails.

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t watcher = 0;

/// Pids whose executable is `program`, apart from `except`.
std::vector<pid_t> pidsOf(const std::string &program, pid_t except = 0) {
    std::vector<pid_t> found;
    DIR *dir = ::opendir("/proc");
    if (!dir) {
        throw std::runtime_error("cannot list /proc");
    }
    char link[sizeof(dirent::d_name) + 8];
    char target[PATH_MAX];
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue;
        }
        std::snprintf(link, sizeof link, "%s/exe", entry->d_name);
        const auto n = ::readlinkat(::dirfd(dir), link, target, sizeof target);
        const auto pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (n == static_cast<ssize_t>(program.size()) &&
            program.compare(0, program.size(), target, static_cast<std::size_t>(n)) == 0 &&
            pid != except) {
            found.push_back(pid);
        }
    }
    ::closedir(dir);
    return found;
}

/// Every pid in /proc now.
std::vector<pid_t> allPids() {
    std::vector<pid_t> pids;
    DIR *dir = ::opendir("/proc");
    if (!dir) {
        throw std::runtime_error("cannot list /proc");
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') {
            pids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
    }
    ::closedir(dir);
    return pids;
}

/// True when a process of `program` that is not in `old` runs.
bool newProcessOf(const std::string &program, const std::unordered_set<pid_t> &old) {
    char link[32];
    char target[PATH_MAX];
    for (const pid_t pid : allPids()) {
        if (old.count(pid) != 0) {
            continue;
        }
        std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
        const auto n = ::readlink(link, target, sizeof target);
        if (n == static_cast<ssize_t>(program.size()) &&
            program.compare(0, program.size(), target, static_cast<std::size_t>(n)) == 0) {
            return true;
        }
    }
    return false;
}

/// Reaps every child that has ended; the watcher must not be among them.
void reap() {
    int status = 0;
    pid_t pid = 0;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == watcher) {
            watcher = 0;
            throw std::runtime_error("the watcher ended during the measurement");
        }
    }
}

/// Sleeps `duration`, reaping ended children every 10 ms meanwhile.
void pause(Clock::duration duration) {
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        reap();
        std::this_thread::sleep_for(std::min<Clock::duration>(10ms, until - Clock::now()));
    }
}

pid_t waitForOne(const std::string &program, pid_t except, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const auto pids = pidsOf(program, except);
        if (!pids.empty()) {
            return pids.front();
        }
        if (Clock::now() > deadline) {
            throw std::runtime_error("no process of " + program + " appeared");
        }
        pause(10ms);
    }
}

void startWatcher(char **argv) {
    const pid_t parent = ::getpid();
    watcher = ::fork();
    if (watcher < 0) {
        throw std::runtime_error("fork failed");
    }
    if (watcher == 0) {
        // The watcher must not outlive us, whatever ends us.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::execvp(argv[0], argv);
        std::perror(argv[0]);
        ::_exit(127);
    }
}

/// Ends the watcher (politely first), then every program it kept, and reaps all.
void stopAll(const std::vector<std::string> &programs) {
    if (watcher > 0) {
        ::kill(watcher, SIGTERM);
        const auto deadline = Clock::now() + 5s;
        while (::waitpid(watcher, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(watcher, SIGKILL);
                ::waitpid(watcher, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        watcher = 0;
    }
    for (const auto &program : programs) {
        for (const pid_t pid : pidsOf(program)) {
            ::kill(pid, SIGKILL);
        }
    }
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline && ::waitpid(-1, nullptr, WNOHANG) >= 0) {
        std::this_thread::sleep_for(1ms);
    }
}

void measureLatency(const std::string &program, int kills, int gapMinMs, int gapMaxMs,
                    const std::string &out) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> gap(gapMinMs, gapMaxMs);
    pid_t current = waitForOne(program, 0, 30s);
    std::vector<double> latencies;
    for (int i = 0;; ++i) {
        // A random gap, so that kills fall at every phase of a periodic check.
        // The last restart gets one too: a process shows in /proc from its
        // exec on, and stopping at once could end it before it has started
        // (recorded its start, for the programs measured here).
        pause(std::chrono::milliseconds(gap(random)));
        const auto pids = pidsOf(program);
        if (pids.size() != 1) {
            throw std::runtime_error(std::to_string(pids.size()) + " processes of " + program);
        }
        if (i == kills) {
            break;
        }
        current = pids.front();
        // The pids there before the kill are never the new copy: each poll
        // reads the names of the new ones only, so it can run every 0.1 ms.
        const std::vector<pid_t> before = allPids();
        const std::unordered_set<pid_t> old(before.begin(), before.end());
        const auto killed = Clock::now();
        ::kill(current, SIGKILL);
        auto next = killed;
        for (;;) {
            if (newProcessOf(program, old)) {
                break;
            }
            if (Clock::now() - killed > 20s) {
                throw std::runtime_error("no restart within 20 s after kill " +
                                         std::to_string(i + 1));
            }
            reap();
            next += 100us;
            std::this_thread::sleep_until(next);
        }
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - killed).count());
    }
    std::ofstream file(out);
    for (const double ms : latencies) {
        file << ms << "\n";
    }
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + out);
    }
}

/// What the scheduler counted for every thread of a process: its time on a CPU
/// and its voluntary context switches (each one a sleep, so a wake-up after).
/// Threads that ended in between are not counted; the watchers measured keep theirs.
struct Scheduled {
    double cpuSeconds = 0;
    long long wakeups = 0;
};

Scheduled scheduled(pid_t pid) {
    Scheduled total;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir) {
        throw std::runtime_error("the watcher is gone");
    }
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream schedstat(task + "/schedstat");
        unsigned long long ns = 0;
        if (schedstat >> ns) {
            total.cpuSeconds += static_cast<double>(ns) / 1e9;
        }
        std::ifstream status(task + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                total.wakeups += std::stoll(line.substr(line.find(':') + 1));
            }
        }
    }
    ::closedir(dir);
    return total;
}

/// One kB figure of /proc/PID/smaps_rollup, in MB.
double rollupMegabytes(pid_t pid, const std::string &field) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stod(line.substr(field.size() + 1)) / 1024.0;
        }
    }
    throw std::runtime_error("no " + field + " for the watcher");
}

/// Resident and proportional kB of each mapped file (or [heap], [stack],
/// anonymous), largest first: "rss_kb pss_kb name" a line.
void writeMaps(pid_t pid, const std::string &out) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::map<std::string, std::pair<long long, long long>> sizes;
    std::string line;
    std::string name;
    while (std::getline(smaps, line)) {
        std::istringstream fields(line);
        std::string first;
        if (!(fields >> first)) {
            continue;
        }
        if (first.back() != ':') { // a mapping's first line: range perms offset dev inode [name]
            std::string skip;
            for (int i = 0; i < 4; ++i) {
                fields >> skip;
            }
            std::getline(fields >> std::ws, name);
            if (name.empty()) {
                name = "[anonymous]";
            }
        } else if (first == "Rss:" || first == "Pss:") {
            long long kb = 0;
            fields >> kb;
            (first == "Rss:" ? sizes[name].first : sizes[name].second) += kb;
        }
    }
    std::vector<std::pair<std::string, std::pair<long long, long long>>> ordered(sizes.begin(),
                                                                                 sizes.end());
    std::sort(ordered.begin(), ordered.end(),
              [](const auto &a, const auto &b) { return a.second.first > b.second.first; });
    std::ofstream file(out);
    for (const auto &[mapping, kb] : ordered) {
        if (kb.first > 0) {
            file << kb.first << " " << kb.second << " " << mapping << "\n";
        }
    }
}

void measureIdle(int seconds, const std::string &out, const std::vector<std::string> &programs) {
    std::vector<pid_t> before;
    before.reserve(programs.size());
    for (const auto &program : programs) {
        before.push_back(waitForOne(program, 0, 30s));
    }
    pause(3s); // past the start-up work
    const Scheduled s0 = scheduled(watcher);
    const auto t0 = Clock::now();
    pause(std::chrono::seconds(seconds));
    const Scheduled s1 = scheduled(watcher);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const double rss = rollupMegabytes(watcher, "Rss");
    const double pss = rollupMegabytes(watcher, "Pss");
    writeMaps(watcher, out + ".maps");
    for (std::size_t i = 0; i < programs.size(); ++i) {
        if (pidsOf(programs[i]) != std::vector<pid_t>{before[i]}) {
            throw std::runtime_error(programs[i] + " was not kept as it was while idle");
        }
    }
    std::ofstream file(out);
    file << "cpu_percent " << (s1.cpuSeconds - s0.cpuSeconds) / elapsed * 100.0 << "\nwakeups "
         << static_cast<double>(s1.wakeups - s0.wakeups) / elapsed << "\nrss_mb " << rss
         << "\npss_mb " << pss << "\n";
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + out);
    }
}

int usage() {
    std::fprintf(
        stderr,
        "usage: restart_latency latency PROGRAM KILLS GAP_MIN_MS GAP_MAX_MS OUT -- WATCHER...\n"
        "       restart_latency idle SECONDS OUT PROGRAM... -- WATCHER...\n");
    return 2;
}

} // namespace

static int run(int argc, char **argv) {
    int separator = 1;
    while (separator < argc && std::strcmp(argv[separator], "--") != 0) {
        ++separator;
    }
    if (argc < 3 || separator + 1 >= argc) {
        return usage();
    }
    const std::string mode = argv[1];
    std::vector<std::string> programs;
    if (mode == "latency" && separator == 7) {
        programs.push_back(argv[2]);
    } else if (mode == "idle" && separator > 4) {
        programs.assign(argv + 4, argv + separator);
    } else {
        return usage();
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Ended by the script's clean-up: still take the watcher and programs along.
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ::signal(sig, [](int) {
            if (watcher > 0) {
                ::kill(watcher, SIGKILL);
            }
            ::_exit(1);
        });
    }
    int result = 0;
    try {
        startWatcher(argv + separator + 1);
        if (mode == "latency") {
            measureLatency(programs.front(), std::atoi(argv[3]), std::atoi(argv[4]),
                           std::atoi(argv[5]), argv[6]);
        } else {
            measureIdle(std::atoi(argv[2]), argv[3], programs);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "restart_latency: %s\n", error.what());
        result = 1;
    }
    stopAll(programs);
    return result;
}

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        // Reading the arguments or the clean-up failed: no numbers to trust.
        std::fprintf(stderr, "restart_latency: failed\n");
        return 1;
    }
}
