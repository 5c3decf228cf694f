// The presence probes run on every slot tick, so their walk over a crowded
// process list is measured against the floor: listing /proc and reading each
// exe link, nothing more; and the check a slot makes of a running program it
// remembers, beside the walk that answers the same; the memory and CPU
// reading of a remembered program, taken on every limit check. And the
// launcher: from its call until the new process is visible to the probes, and
// until it runs, without and with its output kept. And the output
// logger's throughput: 8 MB of 100-byte lines from a pipe into a rotated file.

#include "core/launcher.h"
#include "core/output_log.h"
#include "core/process_probe.h"
#include "core/process_usage.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int crowdSize = 1000;
constexpr const char *absentName = "perstando-bench-absent";

/// A scratch folder with a copy of /bin/sleep under a name of its own.
struct Scratch {
    fs::path dir;
    fs::path exe;
    explicit Scratch(const std::string &name) {
        char pattern[] = "/tmp/perstando-bench-XXXXXX";
        dir = ::mkdtemp(pattern);
        exe = dir / (name + "-" + std::to_string(::getpid()));
        fs::copy_file("/bin/sleep", exe);
        fs::permissions(exe, fs::perms::owner_all);
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

/// Extra processes that every walk has to step over.
class Crowd {
public:
    Crowd() : scratch_("crowd") {
        const std::string path = scratch_.exe.string();
        char *argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>("100000"), nullptr};
        for (int i = 0; i < crowdSize; ++i) {
            pid_t pid = 0;
            if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) == 0) {
                pids_.push_back(pid);
            }
        }
    }
    ~Crowd() {
        for (const pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
        }
        for (const pid_t pid : pids_) {
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::size_t size() const { return pids_.size(); }

private:
    Scratch scratch_;
    std::vector<pid_t> pids_;
};

Crowd &crowd() {
    static Crowd instance;
    return instance;
}

/// The floor: list /proc and read each exe link, nothing more.
std::size_t floorWalk() {
    DIR *dir = ::opendir("/proc");
    const int fd = ::dirfd(dir);
    char target[PATH_MAX];
    std::size_t readable = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
            continue;
        }
        char link[40];
        const std::size_t len = ::strnlen(entry->d_name, 20);
        std::memcpy(link, entry->d_name, len);
        std::memcpy(link + len, "/exe", 5);
        readable += ::readlinkat(fd, link, target, sizeof target) > 0;
    }
    ::closedir(dir);
    return readable;
}

/// Times `probe` and the floor in turn, so both see the same load, and reports
/// the probe's time with the floor and the ratio beside it.
template <typename Probe> void againstFloor(benchmark::State &state, const Probe &probe) {
    state.counters["processes"] = static_cast<double>(crowd().size());
    double probeSeconds = 0;
    double floorSeconds = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(floorWalk());
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(probe());
        const auto t2 = Clock::now();
        const double floorTime = std::chrono::duration<double>(t1 - t0).count();
        const double probeTime = std::chrono::duration<double>(t2 - t1).count();
        floorSeconds += floorTime;
        probeSeconds += probeTime;
        state.SetIterationTime(probeTime);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["floor_us"] = floorSeconds / n * 1e6;
    state.counters["ratio"] = probeSeconds / floorSeconds;
}

void BM_Floor(benchmark::State &state) {
    state.counters["processes"] = static_cast<double>(crowd().size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(floorWalk());
    }
}

void BM_FindProcess(benchmark::State &state) {
    againstFloor(state, [] { return processes::findByName(absentName); });
}

void BM_IsAppRunning(benchmark::State &state) {
    againstFloor(state, [] { return processes::isRunning(absentName); });
}

/// A slot's check of its running program, answered from the remembered
/// process; the walk giving the same answer beside it.
void BM_RememberedCheck(benchmark::State &state) {
    state.counters["processes"] = static_cast<double>(crowd().size());
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Scratch scratch("remembered");
    const std::string exe = scratch.exe.string();
    const auto started = launcher::start(exe, "1000", scratch.dir.string());
    processes::RememberedProcess memory;
    memory.remember(started.pid);
    const auto rule = processes::Rule::PathContains;
    if (!memory.running(rule, exe, scratch.dir.string()) || !memory.answeredFromMemory()) {
        state.SkipWithError("the started program is not remembered");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(memory.running(rule, exe, scratch.dir.string()));
    }
    if (!memory.answeredFromMemory()) {
        state.SkipWithError("the check walked the list");
    }
    constexpr int walks = 20;
    const auto t0 = Clock::now();
    for (int i = 0; i < walks; ++i) {
        benchmark::DoNotOptimize(processes::isRunning(exe, scratch.dir.string()));
    }
    state.counters["walk_us"] =
        std::chrono::duration<double>(Clock::now() - t0).count() / walks * 1e6;
    ::kill(started.pid, SIGKILL);
    ::waitpid(started.pid, nullptr, 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

/// One memory and CPU reading of a lone remembered process, as a limit check
/// takes it.
void BM_TreeUsage(benchmark::State &state) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Scratch scratch("usage");
    const auto started = launcher::start(scratch.exe.string(), "1000", scratch.dir.string());
    processes::RememberedProcess memory;
    memory.remember(started.pid);
    const auto first = processes::treeUsage(memory);
    if (!first || first->processes != 1) {
        state.SkipWithError("the started program cannot be read alone");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(processes::treeUsage(memory));
    }
    ::kill(started.pid, SIGKILL);
    ::waitpid(started.pid, nullptr, 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

/// The middle of `values` (seconds) in ms, or the share `p` of them.
double percentileMs(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))] * 1e3;
}

/// From launcher::start's call until isRunning sees the new process.
void BM_LaunchUntilVisible(benchmark::State &state) {
    // Started programs become our children again, so they can be reaped here.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Scratch scratch("launched");
    const std::string exe = scratch.exe.string();
    std::vector<double> visible;
    std::vector<double> returned;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const auto result = launcher::start(exe, "1000", scratch.dir.string());
        const auto t1 = Clock::now();
        while (result.ok() && !processes::isRunning(exe)) {
        }
        const auto t2 = Clock::now();
        if (!result.ok()) {
            state.SkipWithError("start failed");
            break;
        }
        visible.push_back(std::chrono::duration<double>(t2 - t0).count());
        returned.push_back(std::chrono::duration<double>(t1 - t0).count());
        state.SetIterationTime(visible.back());

        for (const auto &entry : fs::directory_iterator("/proc")) {
            std::error_code ec;
            if (fs::read_symlink(entry.path() / "exe", ec) == scratch.exe) {
                const pid_t child = std::stoi(entry.path().filename().string());
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
        }
    }
    state.counters["median_ms"] = percentileMs(visible, 0.5);
    state.counters["p90_ms"] = percentileMs(visible, 0.9);
    state.counters["returned_median_ms"] = percentileMs(returned, 0.5);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

/// From launcher::start's call until the started program runs its main; with
/// argument 1, its output kept by a logger, which is started after it.
void BM_StartUntilRunning(benchmark::State &state) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Scratch scratch("running");
    const fs::path stamp = scratch.dir / "stamp";
    const launcher::OutputCapture output{OUTPUTLOG_BINARY, (scratch.dir / "output").string(),
                                         std::uint64_t{1024} * 1024, 3};
    const launcher::OutputCapture *kept = state.range(0) != 0 ? &output : nullptr;
    std::vector<double> running;
    std::vector<double> returned;
    for (auto _ : state) {
        fs::remove(stamp);
        const auto t0 = Clock::now();
        const auto result = launcher::start(STARTED_AT, stamp.string(), {}, {}, kept);
        const auto t1 = Clock::now();
        if (!result.ok() || (kept && result.loggerPid == 0)) {
            state.SkipWithError(result.ok() ? result.outputProblem.c_str() : "start failed");
            break;
        }
        long long startedNs = 0;
        while (startedNs == 0) {
            if (FILE *in = std::fopen(stamp.c_str(), "r")) {
                if (std::fscanf(in, "%lld", &startedNs) != 1) {
                    startedNs = 0;
                }
                std::fclose(in);
            }
        }
        const auto started =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(startedNs));
        running.push_back(std::chrono::duration<double>(started - t0).count());
        returned.push_back(std::chrono::duration<double>(t1 - t0).count());
        state.SetIterationTime(running.back());
        ::kill(result.pid, SIGKILL);
        ::waitpid(result.pid, nullptr, 0);
        if (result.loggerPid != 0) {
            ::waitpid(result.loggerPid, nullptr, 0); // ends with its program's pipes
        }
    }
    state.counters["median_ms"] = percentileMs(running, 0.5);
    state.counters["p90_ms"] = percentileMs(running, 0.9);
    state.counters["returned_median_ms"] = percentileMs(returned, 0.5);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

void BM_OutputLogRun(benchmark::State &state) {
    std::string block;
    for (int i = 0; block.size() + 100 <= std::size_t{64} * 1024; ++i) {
        std::string line = std::to_string(10000000 + i);
        line.resize(99, '.');
        block += line + "\n";
    }
    constexpr std::size_t total = std::size_t{8} * 1000 * 1000;
    char folder[] = "/tmp/perstando-bench-outputlog-XXXXXX";
    if (!::mkdtemp(folder)) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string path = std::string(folder) + "/out.log";
    std::size_t bytes = 0;
    for (auto _ : state) {
        int out[2];
        int err[2];
        std::string problem;
        const int file = outputlog::openOutputFile(path, problem);
        if (file < 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipe or file");
            break;
        }
        ::close(err[1]);
        std::thread logger([&] { outputlog::run(out[0], err[0], file, path, {1 << 20, 3}); });
        for (std::size_t sent = 0; sent < total; sent += block.size()) {
            for (std::size_t at = 0; at < block.size();) {
                const auto n = ::write(out[1], block.data() + at, block.size() - at);
                at += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        }
        ::close(out[1]);
        logger.join();
        ::close(out[0]);
        ::close(err[0]);
        ::close(file);
        bytes += total;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    fs::remove_all(folder);
}

} // namespace

// The launcher first, before the crowd exists; then the walks with the crowd.
BENCHMARK(BM_LaunchUntilVisible)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUntilRunning)
    ->ArgName("output")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsAppRunning)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RememberedCheck)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TreeUsage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OutputLogRun)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
