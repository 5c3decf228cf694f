#include "core/launcher.h"
#include "core/process_probe.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using processes::RememberedProcess;
using processes::Rule;
using testing_support::copyExecutable;
using testing_support::TempDir;
using testing_support::uniqueName;
using testing_support::waitUntil;

std::string exeOf(pid_t pid) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).string();
}

bool isGone(pid_t pid) {
    const auto stat = testing_support::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

/// Whether a script's group has settled: its sleep started (`started`), no
/// forked shell that is about to exec left, which a walk could find half-made.
bool settled(pid_t leader, bool started) {
    bool sleeping = false;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(leader)) {
            continue;
        }
        const auto stat = testing_support::readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        std::istringstream fields(close == std::string::npos ? std::string()
                                                             : stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        pid_t group = 0;
        if (!(fields >> state >> parent >> group) || group != leader || state == 'Z') {
            continue;
        }
        const std::string exe = fs::path(exeOf(std::stoi(name))).filename().string();
        if (exe.find("sh") != std::string::npos) {
            return false;
        }
        sleeping = sleeping || exe == "sleep";
    }
    return sleeping || !started;
}

/// Makes pidfd_open fail with ENOSYS in this process, as on an old kernel.
bool refusePidDescriptors() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

/// One check as a slot makes it: the remembered answer beside the walk's.
struct Query {
    Rule rule;
    std::string program;
    std::string folder;
    RememberedProcess memory;
    bool owned = false; ///< the remembered process was found for this query

    bool walk() const {
        return rule == Rule::ExecutableName ? processes::findByName(program, folder)
                                            : processes::isRunning(program, folder);
    }
};

/// The programs of the differential run: two binaries and a script that, on
/// SIGUSR1, execs into the binary named by its argument.
struct Programs {
    TempDir dir;
    std::string tag = uniqueName("Mem");
    fs::path alpha = copyExecutable("/bin/sleep", dir.path(), tag + "-Alpha.Bin");
    fs::path beta = copyExecutable("/bin/sleep", dir.path(), tag + "-Beta.Bin");
    fs::path script = dir.path() / (tag + "-gamma.sh");
    std::vector<pid_t> started;

    Programs() {
        testing_support::writeFile(script, "#!/bin/sh\n"
                                           "trap 'kill $! 2>/dev/null; exec \"$1\" 1000' USR1\n"
                                           // One wait: a loop would spin once the
                                           // sleep is gone.
                                           "sleep 1000 &\n"
                                           "wait $!\n");
        fs::permissions(script, fs::perms::owner_all);
    }
    Programs(const Programs &) = delete;
    Programs &operator=(const Programs &) = delete;
    ~Programs() {
        // Each leads a process group of its own: a script's sleep goes with it.
        for (const pid_t pid : started) {
            ::kill(-pid, SIGKILL);
        }
        testing_support::killAll(alpha);
        testing_support::killAll(beta);
    }
};

// Random starts, kills, execs and binaries replaced or removed under running
// processes; after each step every remembered answer must equal the walk's,
// except that a process found for the query counts while it lives, whatever
// it exec'd into. Memory is also seeded with the wrong process now and then,
// as a start reported for one slot may be found by another.
TEST(RememberedProcess, AnswersAsTheWalkThroughRandomChangesButKeepsWhatItFound) {
    Programs p;
    const std::string folder = p.dir.path().string();
    std::vector<Query> queries;
    for (const Rule rule : {Rule::ExecutableName, Rule::PathContains}) {
        queries.push_back({rule, p.alpha.string(), folder, {}});
        queries.push_back({rule, p.beta.filename().string(), folder, {}});
        queries.push_back({rule, p.script.string(), folder, {}});
    }
    queries.push_back({Rule::ExecutableName, p.tag + "-ALPHA.bin", folder, {}});
    queries.push_back({Rule::PathContains, p.tag + "-BETA", folder, {}});
    int kept = 0;

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const fs::path binaries[] = {p.alpha, p.beta};
    std::ostringstream steps;
    int fromMemory = 0;
    constexpr int StepCount = 2000;

    for (int step = 0; step < StepCount; ++step) {
        std::erase_if(p.started, [](pid_t pid) { return isGone(pid); });
        const std::size_t action = p.started.size() < 2 ? 0 : pick(p.started.size() > 8 ? 5 : 6);
        if (action == 0 || action == 5) { // start
            const std::size_t which = pick(3);
            const fs::path program = which < 2 ? binaries[which] : p.script;
            const std::string arguments = which < 2 ? "1000" : binaries[pick(2)].string();
            const auto result = launcher::start(program.string(), arguments, folder);
            steps << step << ": start " << program.filename() << " -> " << result.pid << "\n";
            if (result.ok() && result.pid > 0) {
                ASSERT_TRUE(waitUntil([&] { return settled(result.pid, which == 2); }))
                    << steps.str();
                p.started.push_back(result.pid);
                Query &seeded = queries[pick(queries.size())];
                seeded.memory.remember(result.pid);
                seeded.owned = false;
            }
        } else if (action == 1 || action == 4) { // kill
            const pid_t pid = p.started[pick(p.started.size())];
            ::kill(-pid, SIGKILL);
            steps << step << ": kill " << pid << "\n";
            ASSERT_TRUE(waitUntil([&] { return isGone(pid); })) << steps.str();
        } else if (action == 2) { // exec: a script turns into a binary
            const pid_t pid = p.started[pick(p.started.size())];
            const std::string before = exeOf(pid);
            if (before.find("sh") == std::string::npos) {
                continue;
            }
            ::kill(pid, SIGUSR1);
            steps << step << ": exec " << pid << "\n";
            // A failed exec (its binary removed) ends the script: wait until it
            // is gone, not while it is on its way out without an executable.
            ASSERT_TRUE(waitUntil([&] {
                const std::string after = exeOf(pid);
                return isGone(pid) || (!after.empty() && after != before && settled(pid, false));
            })) << steps.str();
        } else { // replace or remove a binary under its running processes
            const fs::path &binary = binaries[pick(2)];
            std::error_code ec;
            if (pick(3) == 0) {
                fs::remove(binary, ec);
                steps << step << ": remove " << binary.filename() << "\n";
            } else {
                const fs::path fresh = copyExecutable("/bin/sleep", p.dir.path(), "fresh");
                fs::rename(fresh, binary, ec);
                steps << step << ": replace " << binary.filename() << "\n";
            }
        }
        // A few of the slots per step: each walk of the list costs milliseconds.
        for (int check = 0; check < 3; ++check) {
            Query &query = queries[pick(queries.size())];
            const pid_t held = query.memory.pid();
            const bool alive = query.owned && held != 0 && !isGone(held);
            const bool remembered = query.memory.running(query.rule, query.program, query.folder);
            fromMemory += query.memory.answeredFromMemory() ? 1 : 0;
            const bool walked = query.walk();
            kept += alive && !walked ? 1 : 0;
            query.owned = remembered;
            ASSERT_EQ(remembered, walked || alive)
                << "seed " << seed << ", " << query.program << " by "
                << (query.rule == Rule::ExecutableName ? "name" : "path") << ", after\n"
                << steps.str();
        }
    }
    // Most answers are "running", and most of those must not need the walk.
    EXPECT_GT(fromMemory, StepCount * 3 / 4) << "seed " << seed;
    RecordProperty("kept after exec", kept);
}

// A kernel without pidfd_open (or a seccomp filter refusing it): the start
// time alone keeps the memory, which still answers without the walk and
// still sees the end.
TEST(RememberedProcess, WithoutPidDescriptorsTheStartTimeStillSparesTheWalk) {
    TempDir dir;
    const fs::path exe = copyExecutable("/bin/sleep", dir.path(), uniqueName("NoPidfd"));
    const pid_t child = ::fork();
    if (child == 0) {
        if (!refusePidDescriptors()) {
            ::_exit(77);
        }
        const auto started = launcher::start(exe.string(), "1000", dir.path().string());
        RememberedProcess memory;
        memory.remember(started.pid);
        const bool seeded = memory.pid() == started.pid && !memory.duplicateEndDescriptor();
        const bool fromMemory =
            memory.running(Rule::PathContains, exe.string(), {}) && memory.answeredFromMemory();
        ::kill(started.pid, SIGKILL);
        waitUntil([&] { return isGone(started.pid); });
        const bool ended = !memory.running(Rule::PathContains, exe.string(), {});
        ::_exit(!seeded ? 1 : !fromMemory ? 2 : !ended ? 3 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    testing_support::killAll(exe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "seccomp filters cannot be installed here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// The launcher's report seeds the memory: the check right after a start needs
// no walk, and the descriptor turns readable when the program ends.
TEST(RememberedProcess, StartedProgramIsKnownWithoutAWalkAndItsEndIsSeen) {
    TempDir dir;
    const fs::path exe = copyExecutable("/bin/sleep", dir.path(), uniqueName("Seeded"));
    const auto started = launcher::start(exe.string(), "1000", dir.path().string());
    ASSERT_TRUE(started.ok());
    ASSERT_GT(started.pid, 0);
    EXPECT_EQ(exeOf(started.pid), exe.string());

    RememberedProcess memory;
    memory.remember(started.pid);
    EXPECT_TRUE(memory.running(Rule::ExecutableName, exe.filename().string(), {}));
    EXPECT_TRUE(memory.answeredFromMemory());
    const core::UniqueFd ended = memory.duplicateEndDescriptor();
    ASSERT_TRUE(ended.valid());
    pollfd ready{ended.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 0), 0);
    ::kill(started.pid, SIGKILL);
    EXPECT_EQ(::poll(&ready, 1, 5000), 1);
    EXPECT_FALSE(memory.running(Rule::ExecutableName, exe.filename().string(), {}));
    EXPECT_EQ(memory.pid(), 0);
}

// A remembered process ends and a stranger gets its PID: the memory's signals
// never reach the stranger, through the end descriptor or without one. Run as
// PID 1 of a namespace of its own, where the next PID can be chosen.
TEST(RememberedProcess, ASignalNeverReachesAStrangerThatTookThePid) {
    int status = 0;
    switch (testing_support::rerunAsPidOne(
        "RememberedProcess.ASignalNeverReachesAStrangerThatTookThePid", status)) {
    case testing_support::PidNamespace::Unavailable:
        GTEST_SKIP() << "no PID namespace can be made here";
    case testing_support::PidNamespace::RanThere:
        EXPECT_EQ(status, 0);
        return;
    case testing_support::PidNamespace::Inside:
        break;
    }
    for (const bool withDescriptor : {true, false}) {
        const pid_t helper = ::fork();
        if (helper == 0) {
            if (!withDescriptor && !refusePidDescriptors()) {
                ::_exit(77);
            }
            const pid_t victim = ::fork();
            if (victim == 0) {
                ::pause();
                ::_exit(0);
            }
            RememberedProcess memory;
            memory.remember(victim);
            const bool seeded =
                memory.pid() == victim && memory.duplicateEndDescriptor().valid() == withDescriptor;
            const bool reached = memory.sendSignal(processes::Signal::Continue);
            ::kill(victim, SIGKILL);
            ::waitpid(victim, nullptr, 0);
            const std::string last = std::to_string(victim - 1);
            const int lastPid = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY);
            if (lastPid < 0 || ::write(lastPid, last.data(), last.size()) < 0) {
                ::_exit(77);
            }
            ::close(lastPid);
            const pid_t stranger = ::fork();
            if (stranger == 0) {
                ::pause();
                ::_exit(0);
            }
            const bool spared = stranger == victim && !memory.sendSignal(processes::Signal::Kill) &&
                                ::waitpid(stranger, nullptr, WNOHANG) == 0;
            ::kill(stranger, SIGKILL);
            ::_exit(!seeded ? 1 : !reached ? 2 : !spared ? 3 : 0);
        }
        int status = 0;
        ::waitpid(helper, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "with descriptor " << withDescriptor << ": status " << status;
    }
}

} // namespace

// A walk takes only a process of this account, and with arguments only one
// started with exactly those: neither another account's copy of the program
// nor a copy with other arguments counts as the slot's (nor is signalled as it).
TEST(RememberedProcess, AWalkTakesOnlyThisAccountsProcessWithTheSameArguments) {
    TempDir dir;
    const fs::path exe = copyExecutable("/bin/sleep", dir.path(), uniqueName("Owned"));
    const fs::path script = dir.path() / uniqueName("owned.sh");
    testing_support::writeFile(script, "#!/bin/sh\nwhile :; do sleep 1; done\n");
    fs::permissions(script, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    struct Case {
        const char *what;
        std::vector<std::string> argv; ///< the process found by the walk
        std::vector<std::string> arguments;
        bool counts;
        bool asAnotherAccount = false;
    };
    const std::string sleeper = exe.string();
    const Case cases[] = {
        {"this account, no arguments asked", {sleeper, "1000"}, {}, true},
        {"another account", {sleeper, "1000"}, {}, false, true},
        {"the same arguments", {sleeper, "1000"}, {"1000"}, true},
        {"other arguments", {sleeper, "999"}, {"1000"}, false},
        {"more arguments", {sleeper, "1000", "5"}, {"1000"}, false},
        {"a script's own arguments", {"/bin/sh", script.string(), "a b", "c"}, {"a b", "c"}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.asAnotherAccount && ::geteuid() != 0) {
            continue; // only root can start a process as another account
        }
        std::vector<std::string> argv = c.argv;
        if (c.asAnotherAccount) {
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                       "--clear-groups"});
        }
        testing_support::Child child(argv);
        const bool isScript = c.argv.front() == "/bin/sh";
        const std::string program = isScript ? script.string() : sleeper;
        ASSERT_TRUE(waitUntil([&] {
            const std::string cmdline =
                testing_support::readFile("/proc/" + std::to_string(child.pid()) + "/cmdline");
            return cmdline.find(c.argv.back()) != std::string::npos &&
                   (isScript || exeOf(child.pid()) == sleeper);
        }));
        RememberedProcess memory;
        EXPECT_EQ(memory.running(Rule::PathContains, program, {}, c.arguments), c.counts);
        EXPECT_EQ(memory.pid(), c.counts ? child.pid() : 0);
        child.stop();
    }
}
